#!/bin/sh
# Fails unless the Windows DLL exports exactly the six functions under their
# plain names and its import library offers them with the C calling
# convention's names: "_FlashInit" on 32-bit Windows, "FlashInit" on 64-bit,
# never a "FlashInit@8" of another convention.
# Usage: check_dll_exports.sh DLL IMPORT_LIBRARY [OBJDUMP] [NM]
set -u
expected="FlashFinish FlashGetErrorString FlashInit FlashLoad FlashMakeOptionString FlashParseOptionString"
dll=${1:?usage: check_dll_exports.sh DLL IMPORT_LIBRARY [OBJDUMP] [NM]}
library=${2:?usage: check_dll_exports.sh DLL IMPORT_LIBRARY [OBJDUMP] [NM]}
table=$("${3:-objdump}" -p "$dll") || exit 1
symbols=$("${4:-nm}" "$library") || exit 1

# The names under "[Ordinal/Name Pointer] Table", up to the blank line after it.
exported=$(printf '%s\n' "$table" |
  awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { exit } on { print $NF }' |
  sort | tr '\n' ' ' | sed 's/ $//')
# The import library's code symbols (T), with the C convention's underscore
# taken off on 32-bit Windows (a name without it does not count there).
underscore=$(printf '%s\n' "$table" | grep -q 'Magic.*(PE32)$' && echo _ || true)
imported=$(printf '%s\n' "$symbols" | awk '$2 == "T" { print $3 }' | sort -u |
  sed -n "s/^$underscore//p" | tr '\n' ' ' | sed 's/ $//')

status=0
if [ "$exported" != "$expected" ]; then
  printf 'exports differ\n  expected: %s\n  found:    %s\n' "$expected" "$exported"
  status=1
fi
if [ "$imported" != "$expected" ]; then
  printf 'import library symbols differ\n  expected: %s\n  found:    %s\n' \
    "$(for name in $expected; do printf '%s%s ' "$underscore" "$name"; done)" "$underscore$(echo "$imported" | sed "s/ / $underscore/g")"
  status=1
fi
[ "$status" -ne 0 ] || echo "exports: $exported"
exit "$status"
