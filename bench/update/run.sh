#!/usr/bin/env bash
# Peak resident memory and wall time of the list file and installation on
# the hostile inputs they must bear: a 100 MB Update.List, an entry with
# 32,000 separators, a 512 MiB Quon.Version, a million entries missing from
# the archive. The inputs are made in a temporary directory (under
# QUON_BENCH_DIR when it is set) and removed. Build the target update_bounds
# first; /usr/bin/time measures.
#   usage: bench/update/run.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
tool=$build/bench/update_bounds
[ -x "$tool" ] || { echo "missing $tool (cmake --build \"$build\" --target update_bounds)" >&2; exit 2; }
work=$(mktemp -d "${QUON_BENCH_DIR:-${TMPDIR:-/tmp}}/update-bounds.XXXXXX")
trap 'rm -rf "$work"' EXIT

measure() {  # label, command...
  local label=$1
  shift
  local out
  out=$( { /usr/bin/time -f '%M %e' "$@" >"$work/stdout"; } 2>&1 | tail -1)
  printf '%-44s %8.1f MiB %7.2f s   %s\n' "$label" "$(awk -v k="${out% *}" 'BEGIN { print k / 1024 }')" "${out#* }" \
    "$(cat "$work/stdout")"
}

mkdir -p "$work/product" "$work/unpack"
echo x >"$work/unpack/x.dll"

{ printf '[MAIN]\n'; head -c 100000000 <(yes a); } >"$work/big.list"
measure "100 MB Update.List" "$tool" list "$work/big.list"
{ printf '[MAIN]\n'; head -c $((262144 - 7)) <(yes a); } >"$work/bound.list"
measure "256 KiB Update.List of one-letter entries" "$tool" list "$work/bound.list"

{ printf '[MAIN]\n'; for _ in $(seq 32000); do printf 'a/'; done; printf 'x.dll\n'; } >"$work/deep.list"
measure "entry with 32,000 separators" "$tool" install "$work/deep.list" "$work/product" "$work/unpack"

# Within the bounds: entries of 1,024 bytes, 510 directories deep, as many as
# 256 KiB holds; the same path each time, then a new path each time.
python3 -c "print('[MAIN]'); [print('a/' * 508 + 'b/x.dll') for _ in range(250)]" >"$work/deep-same.list"
measure "250 entries 510 directories deep, one path" "$tool" install "$work/deep-same.list" "$work/product" \
  "$work/unpack"
rm -rf "$work/product" && mkdir "$work/product"
python3 -c "print('[MAIN]'); [print('d%03d/' % i + 'a/' * 506 + 'b/x.dll') for i in range(250)]" >"$work/deep-many.list"
measure "250 entries 510 directories deep, 250 paths" "$tool" install "$work/deep-many.list" "$work/product" \
  "$work/unpack"
rm -rf "$work/product" && mkdir "$work/product"

seq -f 'missing%.0f.dll' 1000000 | sed '1i [MAIN]' >"$work/missing.list"
measure "a million missing entries (list file)" "$tool" install "$work/missing.list" "$work/product" "$work/unpack"
measure "a million missing entries (parsed whole)" "$tool" install "$work/missing.list" "$work/product" \
  "$work/unpack" --whole

printf '\6\0\0\0\171\0\3\0' >"$work/Quon.Version"
truncate -s 512M "$work/Quon.Version"
measure "512 MiB Quon.Version" "$tool" version "$work/Quon.Version"
