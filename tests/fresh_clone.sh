#!/bin/sh
# The README's two commands, `make demo` and `make test`, in a fresh clone of
# the repository's committed HEAD in a temporary directory: no build folder,
# no demo output, a clean environment with its own HOME. Fails when either
# command fails, or when they leave files that git would see (a path that
# .gitignore does not cover).
#   fresh_clone.sh SOURCE_DIR
set -eu
source=${1:?usage: fresh_clone.sh SOURCE_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/flashdll-clone.XXXXXX")
trap 'rm -rf "$work"' EXIT
revision=$(git -C "$source" rev-parse HEAD)
git clone --quiet --no-checkout "$source" "$work/flashdll"
git -C "$work/flashdll" checkout --quiet --detach "$revision"
echo "fresh clone of $revision in $work/flashdll"
mkdir "$work/home"
cd "$work/flashdll"
for command in demo test; do
  echo "== make $command"
  env -i PATH="$PATH" HOME="$work/home" LANG=C.UTF-8 TERM=dumb make "$command" ||
    { echo "FAILED: make $command in a fresh clone"; exit 1; }
done
left=$(git status --porcelain --untracked-files=all)
if [ -n "$left" ]; then
  echo "FAILED: the two commands left files that git sees:"
  echo "$left"
  exit 1
fi
echo "make demo and make test pass in a fresh clone"
