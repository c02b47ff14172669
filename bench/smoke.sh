#!/bin/sh
# The test suite's smoke run of one benchmark (quon_bench_smoke in
# cmake/QuonHelpers.cmake):
#   smoke.sh [--prints PATTERN]... -- COMMAND [ARG...]
# Runs COMMAND once, small and short (QUON_BENCH_MIB=1, QUON_BENCH_ROUNDS=1)
# with a work folder of its own (QUON_BENCH_DIR, removed afterwards), shows
# its output, and fails unless it ended with 0, reported no error and
# printed a line matching each PATTERN (grep -E). It measures nothing.
set -u
patterns=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  [ "$1" = "--prints" ] && [ $# -ge 2 ] || { echo "usage: smoke.sh [--prints PATTERN]... -- COMMAND [ARG...]" >&2; exit 2; }
  patterns="$patterns$2
"
  shift 2
done
[ $# -ge 2 ] || { echo "usage: smoke.sh [--prints PATTERN]... -- COMMAND [ARG...]" >&2; exit 2; }
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
mkdir "$work/run"
QUON_BENCH_MIB=1 QUON_BENCH_ROUNDS=1 QUON_BENCH_DIR="$work/run" "$@" >"$work/out" 2>&1
status=$?
cat "$work/out"
failed=0
[ "$status" -eq 0 ] || { echo "smoke: $1 ended with $status" >&2; failed=1; }
if grep -q "ERROR OCCURRED" "$work/out"; then
  echo "smoke: $1 reported an error" >&2
  failed=1
fi
echo "$patterns" | while IFS= read -r pattern; do
  [ -z "$pattern" ] || grep -Eq -- "$pattern" "$work/out" || { echo "smoke: no line matches '$pattern'" >&2; exit 1; }
done || failed=1
exit "$failed"
