#!/bin/sh
# Installs a build into a fresh prefix outside the tree and checks what a
# host sees there: the files and library links, a C consumer built with
# find_package(flashdll) and one built with pkg-config, both run, and an
# installed flashcli that finds its library without help.
#   check_install.sh BUILD_DIR SOURCE_DIR LIBDIR C_COMPILER CMAKE
set -u
build=$1 source=$2 libdir=$3 cc=$4 cmake=$5
work=$(mktemp -d "${TMPDIR:-/tmp}/flashdll-install.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failed=0

fail() { echo "FAILED: $*"; failed=1; }
# Runs a step quietly; shows its output when it fails.
step() { # what command...
  what=$1; shift
  "$@" >"$work/step.log" 2>&1 || { fail "$what"; cat "$work/step.log"; return 1; }
}

step "cmake --install" "$cmake" --install "$build" --prefix "$prefix" || exit 1

for file in include/flashdll/flashdll.h "$libdir/libflashdll.so.1.0.0" bin/flashcli bin/handsetsim \
            share/flashdll/platform.def share/flashdll/flash.types share/flashdll/handset.ini \
            "$libdir/cmake/flashdll/flashdllConfig.cmake" "$libdir/cmake/flashdll/flashdllConfigVersion.cmake" \
            "$libdir/pkgconfig/flashdll.pc"; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
for link in libflashdll.so:libflashdll.so.1 libflashdll.so.1:libflashdll.so.1.0.0; do
  [ "$(readlink "$prefix/$libdir/${link%%:*}")" = "${link#*:}" ] || fail "${link%%:*} does not lead to ${link#*:}"
done

# find_package: the consumer runs through the build's run path to the prefix.
if step "configuring the find_package consumer" "$cmake" -S "$source/tests/install" -B "$work/cmake" \
       -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" &&
   step "building the find_package consumer" "$cmake" --build "$work/cmake"; then
  "$work/cmake/consumer" || fail "the find_package consumer"
fi

# pkg-config: one line to compile and link, then the library's SONAME is what
# the program asks for at run time.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
version=$(pkg-config --modversion flashdll) || fail "pkg-config does not know flashdll"
if step "building the pkg-config consumer" sh -c \
       "\"$cc\" -std=c99 -DFLASHDLL_EXPECTED_VERSION='\"$version\"' -o \"$work/pc-consumer\" \
        \"$source/tests/install/consumer.c\" \$(pkg-config --cflags --libs flashdll)"; then
  LD_LIBRARY_PATH="$prefix/$libdir" "$work/pc-consumer" || fail "the pkg-config consumer"
  LD_LIBRARY_PATH="$prefix/$libdir" ldd "$work/pc-consumer" | grep -q "libflashdll\.so\.1 => $prefix/$libdir/" ||
    fail "the pkg-config consumer does not load libflashdll.so.1 from the prefix"
fi

# The installed flashcli loads the installed library by its own run path.
(unset LD_LIBRARY_PATH; "$prefix/bin/flashcli" --help >"$work/flashcli.txt" 2>&1) ||
  { fail "the installed flashcli does not start"; cat "$work/flashcli.txt"; }

[ "$failed" -eq 0 ] && echo "installed into a fresh prefix; both consumers built and ran"
exit "$failed"
