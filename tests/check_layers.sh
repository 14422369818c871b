#!/bin/sh
# Fails when a file of the library includes a header of a higher layer, or
# of another folder of its own layer, unless the include is in the allow-list
# below. The layers, top to bottom (a folder may include any folder below
# its own, and the public header from anywhere):
#   api, job / boot, contents / loader / session / hw / image / link / report / os
# boot and contents use the flash loader's commands, so they sit above
# loader; hw fills image buffers from the platform, so it sits above image.
# Usage: check_layers.sh SOURCE_DIR
set -u
root=${1:?usage: check_layers.sh SOURCE_DIR}

# Includes that go upwards on purpose: "file header", one a line, each with
# a comment line ("# why") above it. None at present.
allowed='
'

rank() {
    case $1 in
        api|job) echo 10 ;;
        boot|contents) echo 9 ;;
        loader) echo 8 ;;
        session) echo 7 ;;
        hw) echo 6 ;;
        image) echo 5 ;;
        link) echo 4 ;;
        report) echo 3 ;;
        os) echo 2 ;;
        *) echo 0 ;;
    esac
}

cd "$root" || exit 1
status=0
checked=0
for file in $(find flashdll -name '*.h' -o -name '*.cpp' | sort); do
    from=$(printf '%s\n' "$file" | cut -d/ -f2)
    for header in $(sed -n 's/^#include "\(flashdll\/[^"]*\)".*/\1/p' "$file"); do
        to=$(printf '%s\n' "$header" | cut -d/ -f2)
        checked=$((checked + 1))
        [ "$to" = "$from" ] && continue
        [ "$header" = "flashdll/flashdll.h" ] && continue
        if [ "$(rank "$to")" -lt "$(rank "$from")" ]; then
            continue
        fi
        if printf '%s' "$allowed" | grep -qxF "$file $header"; then
            continue
        fi
        echo "upward include: $file -> $header"
        status=1
    done
done
[ "$status" -eq 0 ] && echo "layers: $checked includes, none upwards"
exit "$status"
