#!/bin/sh
# Fails unless the shared library defines exactly the six exported functions
# and no other function symbol (T/t text, W weak, i indirect) in its dynamic
# symbol table. Usage: check_exports.sh LIBRARY [NM]
set -u
expected="FlashFinish FlashGetErrorString FlashInit FlashLoad FlashMakeOptionString FlashParseOptionString"
symbols=$("${2:-nm}" -D --defined-only "${1:?usage: check_exports.sh LIBRARY [NM]}") || exit 1
functions=$(printf '%s\n' "$symbols" | awk 'NF >= 3 && $2 ~ /^[TtWi]$/ { print $2 " " $3 }' | sort -k2)
found=$(printf '%s\n' "$functions" | awk '{ print $2 }' | tr '\n' ' ' | sed 's/ $//')
others=$(printf '%s\n' "$functions" | awk '$1 != "T"')
if [ "$found" != "$expected" ] || [ -n "$others" ]; then
    printf 'function symbols differ\n  expected: T %s\n  found:\n%s\n' "$expected" "$functions"
    exit 1
fi
echo "exports: $found"
