#!/bin/sh
# Builds and runs the S-record benchmark in a scratch directory that is
# removed afterwards (about 600 MB of files while it runs).
# Usage: bench/srec.sh [build directory]   (default: build)
set -eu
build=${1:-${BUILD:-build}}
cmake --build "$build" -j "${JOBS:-2}" --target srec
scratch=$(mktemp -d "${TMPDIR:-/tmp}/flashdll-bench-srec-XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
"$build/bench/srec" "$scratch"
