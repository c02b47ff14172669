#!/usr/bin/env bash
# Runs the CAB unpacking benchmark (build the target bench_cablib first):
# do_decab beside cabextract on the same 256 MiB MSZIP archive, interleaved
# over several rounds, and prints the ratio of the medians.
#   usage: bench/cablib/run.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
rounds=${2:-3}
exe=$build/bench/bench_cablib
[ -x "$exe" ] || { echo "missing $exe (cmake --build \"$build\" --target bench_cablib)" >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$exe" --benchmark_repetitions="$rounds" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
# By the benchmark's name: its run name also holds the iterations.
med = {r["run_name"].split("/")[0]: r["real_time"] for r in runs if r.get("aggregate_name") == "median"}
d, c = med["BM_DoDecab"], med["BM_Cabextract"]
print(f"median do_decab {d:.0f} ms, cabextract {c:.0f} ms, ratio {d / c:.3f}")
PY
