#!/usr/bin/env bash
# Builds and runs the signature benchmark: VerifyArchiveSignature beside
# osslsigncode verify on the same signed 256 MiB archive, interleaved over
# several rounds, and prints the ratio of the medians.
#   usage: bench/signature/run.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
rounds=${2:-3}
[ -f "$build/build.ninja" ] || cmake --preset default -B "$build" >/dev/null
cmake --build "$build" --target bench_signature >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/bench_signature" --benchmark_repetitions="$rounds" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
med = {r["run_name"]: r["real_time"] for r in runs if r.get("aggregate_name") == "median"}
o = med["BM_VerifyArchiveSignature/iterations:5/real_time"]
s = med["BM_OsslsigncodeVerify/iterations:5/real_time"]
print(f"median VerifyArchiveSignature {o:.0f} ms, osslsigncode verify {s:.0f} ms, ratio {o / s:.3f}")
PY
