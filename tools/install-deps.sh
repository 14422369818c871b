#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need and
# this machine lacks, and says what it installs; does nothing when all is
# there. Without apt-get (or with FLASHDLL_NO_INSTALL=1) it only lists what
# is missing and stops when any of it is required.
#
#   tools/install-deps.sh [build] [test] [demo] [windows] [wine] [fuzz]   (default: test)
#
#   build    cmake, make, g++, GoogleTest
#   test     build, and pkg-config and pytest for the install and Python
#            tests; srecord and binutils for the S-record interoperability
#            tests, which are skipped without them
#   demo     build, and binutils (objcopy makes the sample files) and bc
#   windows  the 32-bit MinGW-w64 compiler for `make windows`
#   wine     both MinGW-w64 compilers and wine64 for `make test-wine`
#   fuzz     clang with its libFuzzer runtime for `make fuzz`
set -euo pipefail
cd "$(dirname "$0")/.."

required=()   # packages without which the group's command fails
optional=()   # packages whose tests are skipped without them

need() { # required|optional package check...
  local kind=$1 package=$2
  shift 2
  "$@" >/dev/null 2>&1 && return 0
  [[ " ${required[*]-} ${optional[*]-} " == *" $package "* && $kind = optional ]] && return 0
  [[ " ${required[*]-} " == *" $package "* ]] && return 0
  if [ "$kind" = required ]; then required+=("$package"); else optional+=("$package"); fi
}
has() { command -v "$1"; }
has_file() { [ -f "$1" ]; }
has_pytest() { tools/run-pytest.sh --find; }
has_fuzzer_runtime() { compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a"; }

group_build() {
  need required cmake has cmake
  need required make has make
  need required g++ has g++
  need required libgtest-dev has_file /usr/include/gtest/gtest.h
}
group_test() {
  group_build
  need required pkg-config has pkg-config
  need required python3-pytest has_pytest
  need optional srecord has srec_cat
  need optional binutils has objcopy
}
group_demo() {
  group_build
  need required binutils has objcopy
  need required bc has bc
}
group_windows() {
  need required g++-mingw-w64-i686-posix has i686-w64-mingw32-g++-posix
}
has_wine64() { command -v wine64 || [ -x /usr/lib/wine/wine64 ]; }   # Debian keeps it off PATH
group_wine() {
  group_windows
  need required g++-mingw-w64-x86-64-posix has x86_64-w64-mingw32-g++-posix
  need required wine64 has_wine64
}
group_fuzz() {
  need required clang has clang++
  need required libclang-rt-14-dev has_fuzzer_runtime
}

for group in "${@:-test}"; do
  case $group in
    build|test|demo|windows|wine|fuzz) "group_$group" ;;
    *) echo "install-deps: unknown group '$group' (build, test, demo, windows, wine, fuzz)" >&2; exit 2 ;;
  esac
done

# A package that one group needs and another would only like is required.
optional_only=()
for package in ${optional[@]+"${optional[@]}"}; do
  [[ " ${required[*]-} " == *" $package "* ]] || optional_only+=("$package")
done
missing=($(printf '%s\n' ${required[@]+"${required[@]}"} ${optional_only[@]+"${optional_only[@]}"} | sort -u))
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=$(command -v sudo || true)
if [ "${FLASHDLL_NO_INSTALL:-0}" = 1 ] || ! command -v apt-get >/dev/null || { [ "$(id -u)" -ne 0 ] && [ -z "$sudo" ]; }; then
  if [ ${#required[@]} -gt 0 ]; then
    echo "install-deps: this machine lacks what the build needs. Install these Debian packages" >&2
    echo "(or what your system calls them) and run the command again: ${required[*]}" >&2
    echo "  tools: cmake, make, a C and C++17 compiler, GoogleTest, pkg-config, Python 3 with pytest," >&2
    echo "  objcopy and bc for the demo, the MinGW-w64 compiler for make windows" >&2
    exit 1
  fi
  echo "install-deps: not installed: ${optional_only[*]}; the tests that need them are skipped" >&2
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Other builds on this machine may be installing too: wait for dpkg's lock.
apt_get() { $sudo apt-get -q -o DPkg::Lock::Timeout=600 "$@"; }
apt_get update || true   # a stale package list may still do
if [ ${#required[@]} -gt 0 ] && ! apt_get install -y --no-install-recommends "${required[@]}"; then
  echo "install-deps: apt-get could not install ${required[*]}" >&2
  exit 1
fi
if [ ${#optional_only[@]} -gt 0 ] && ! apt_get install -y --no-install-recommends "${optional_only[@]}"; then
  echo "install-deps: apt-get could not install ${optional_only[*]}; the tests that need them are skipped" >&2
fi
