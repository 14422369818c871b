#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a number of seconds each, on a
# working copy of its seed corpus (the seeds in fuzz/corpus/ stay as they
# are) with its dictionary. Prints runs and runs per second of each target;
# exits non-zero when any target found something. The input of a finding is
# kept in <build>/findings/.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?usage: run.sh BUILD_DIR SECONDS [TARGET...]}"
seconds="${2:?usage: run.sh BUILD_DIR SECONDS [TARGET...]}"
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$here"/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

mkdir -p "$build/findings" "$build/corpus"
failed=0
for target in "${targets[@]}"; do
  program="$build/fuzz/$target"
  work="$build/corpus/$target"
  log="$build/findings/$target.log"
  mkdir -p "$work"
  cp -n "$here/corpus/$target"/* "$work"/ 2>/dev/null || true
  args=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$target-")
  [ -f "$here/dict/$target.dict" ] && args+=(-dict="$here/dict/$target.dict")
  "$program" "${args[@]}" "$work" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  if [ $status -eq 0 ]; then
    echo "$target: ${runs:-?} runs, ${rate:-?} per second, no finding"
  else
    echo "$target: FINDING after ${runs:-?} runs (exit $status), see $log"
    grep -E "ERROR|fuzz check failed|SUMMARY" "$log" | head -5
    failed=1
  fi
done
exit $failed
