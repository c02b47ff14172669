#!/usr/bin/env bash
# Runs the signature benchmark (build the target bench_signature first):
# VerifyArchiveSignature beside osslsigncode verify on the same signed
# 256 MiB archive, interleaved over several rounds, and prints the ratio of
# the medians.
#   usage: bench/signature/run.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
rounds=${2:-3}
exe=$build/bench/bench_signature
[ -x "$exe" ] || { echo "missing $exe (cmake --build \"$build\" --target bench_signature)" >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$exe" --benchmark_repetitions="$rounds" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
# By the benchmark's name: its run name also holds the iterations.
med = {r["run_name"].split("/")[0]: r["real_time"] for r in runs if r.get("aggregate_name") == "median"}
o, s = med["BM_VerifyArchiveSignature"], med["BM_OsslsigncodeVerify"]
print(f"median VerifyArchiveSignature {o:.0f} ms, osslsigncode verify {s:.0f} ms, ratio {o / s:.3f}")
PY
