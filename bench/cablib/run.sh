#!/usr/bin/env bash
# Builds and runs the CAB unpacking benchmark: do_decab beside cabextract on
# the same 256 MiB MSZIP archive, interleaved over several rounds, and prints
# the ratio of the medians.  usage: bench/cablib/run.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
rounds=${2:-3}
[ -f "$build/build.ninja" ] || cmake --preset default -B "$build" >/dev/null
cmake --build "$build" --target bench_cablib >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/bench_cablib" --benchmark_repetitions="$rounds" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
med = {r["run_name"]: r["real_time"] for r in runs if r.get("aggregate_name") == "median"}
d, c = med["BM_DoDecab/iterations:5/real_time"], med["BM_Cabextract/iterations:5/real_time"]
print(f"median do_decab {d:.0f} ms, cabextract {c:.0f} ms, ratio {d / c:.3f}")
PY
