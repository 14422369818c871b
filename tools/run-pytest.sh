#!/bin/sh
# Runs pytest with the given arguments under the first Python interpreter
# that has it: $FLASHDLL_PYTHON, python3 on PATH, /usr/bin/python3 (where
# Debian's python3-pytest installs). Without one it prints
# "run-pytest.sh: Skipped" and the reason (CTest's mark of a skip, and what
# tools/report-skipped.sh reads) and exits 77.
#   tools/run-pytest.sh PYTEST_ARGUMENT...
#   tools/run-pytest.sh --find      prints the interpreter, or fails
set -u
skip_code=77

for python in ${FLASHDLL_PYTHON:-} python3 /usr/bin/python3; do
  if "$python" -c 'import pytest' >/dev/null 2>&1; then
    if [ "${1:-}" = --find ]; then
      command -v "$python"
      exit 0
    fi
    exec "$python" -m pytest "$@"
  fi
done
[ "${1:-}" = --find ] && exit 1
echo "run-pytest.sh: Skipped"
echo "no Python interpreter with pytest"
exit "$skip_code"
