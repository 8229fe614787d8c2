# Sourced by the script tests: ROOT (the repository), a scratch folder $T removed on exit, fail,
# and run_tests FUNCTION..., which runs each in a subshell with set -e (which an "if" around it
# would switch off), after the caller's before_each where it defines one; exit 77 in a test means
# skipped. run_tests ends with "N passed, N failed" and fails if any test did.
# shellcheck shell=bash disable=SC2034  # ROOT is for the tests that source this
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
T=$(mktemp -d "${TMPDIR:-/tmp}/script-test.XXXXXX") || exit 1
trap 'rm -rf -- "$T"' EXIT

fail() { echo "assertion failed: $*"; exit 1; }
run_tests() {
  local t rc passed=0 failed=0 skipped=0
  for t in "$@"; do
    ! declare -F before_each >/dev/null || before_each
    (set -e; "$t") >"$T/log" 2>&1; rc=$?
    if [ "$rc" -eq 0 ]; then passed=$((passed + 1)); echo "ok    $t"
    elif [ "$rc" -eq 77 ]; then skipped=$((skipped + 1)); echo "skip  $t: $(tail -n 1 "$T/log")"
    else failed=$((failed + 1)); echo "FAIL  $t"; sed 's/^/      /' "$T/log"; fi
  done
  echo "$passed passed, $failed failed$([ "$skipped" -eq 0 ] || echo ", $skipped skipped")"
  [ "$failed" -eq 0 ]
}
