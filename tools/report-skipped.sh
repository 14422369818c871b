#!/bin/sh
# Prints one line naming the tests that the last ctest run in BUILD_DIR
# skipped, grouped by their reason, and nothing when none was skipped.
# A skipped test's reason is the line after its "...: Skipped" line (what
# GTEST_SKIP and tools/run-pytest.sh print).
#   tools/report-skipped.sh BUILD_DIR
log="${1:?usage: report-skipped.sh BUILD_DIR}/Testing/Temporary/LastTest.log"
[ -f "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $3; reason = ""; next }
  take { reason = $0; take = 0 }
  /Skipped$/ { take = 1 }
  /^Skip regular expression found in output/ {
    if (reason == "" || reason ~ /^\[/) reason = "no reason given"
    if (reason in tests) tests[reason] = tests[reason] ", " name
    else { order[++reasons] = reason; tests[reason] = name }
    ++count
  }
  END {
    if (count == 0) exit
    line = "Skipped " count (count == 1 ? " test: " : " tests: ")
    for (i = 1; i <= reasons; ++i) line = line (i > 1 ? "; " : "") tests[order[i]] " (" order[i] ")"
    print line ". tools/install-deps.sh installs what they need."
  }' "$log"
