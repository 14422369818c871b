#!/bin/sh
# Fails unless the shared library defines exactly the six exported functions
# and no other function symbol in its dynamic symbol table.
# Usage: check_exports.sh LIBRARY [NM]
set -u
library=${1:?usage: check_exports.sh LIBRARY [NM]}
nm_tool=${2:-nm}
expected="FlashFinish FlashGetErrorString FlashInit FlashLoad FlashMakeOptionString FlashParseOptionString"

symbols=$("$nm_tool" -D --defined-only "$library") || { echo "cannot list symbols of $library"; exit 1; }

# Function symbols: T/t (text), W (weak, not an object), i (indirect function).
functions=$(printf '%s\n' "$symbols" | awk 'NF >= 3 && $2 ~ /^[TtWi]$/ { print $2 " " $3 }' | sort)
exported=$(printf '%s\n' "$functions" | awk '$1 == "T" { print $2 }' | sort | tr '\n' ' ' | sed 's/ $//')
others=$(printf '%s\n' "$functions" | awk '$1 != "T"')

status=0
if [ "$exported" != "$expected" ]; then
    echo "exported functions differ"
    echo "  expected: $expected"
    echo "  found:    $exported"
    status=1
fi
if [ -n "$others" ]; then
    echo "unexpected function symbols:"
    printf '  %s\n' "$others"
    status=1
fi
[ $status -eq 0 ] && echo "exports: $exported"
exit $status
