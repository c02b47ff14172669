#!/bin/sh
# Builds the archives the CAB library tests unpack, with producers other than
# our own code: gcab (stored and MSZIP) and Wine's cabarc (none and MSZIP),
# plus one MSZIP archive holding a file over 100 MiB.
#   make_archives.sh OUTDIR
# Idempotent and safe to run concurrently: the work happens once under a
# lock, and OUTDIR/ready marks a complete set.
set -eu
out=$1
stamp_version=4
mkdir -p "$out"
exec 9>"$out/.lock"
flock 9
if [ -f "$out/ready" ] && [ "$(cat "$out/ready")" = "$stamp_version" ]; then
  exit 0
fi
rm -rf "$out/inputs" "$out/large" "$out"/*.cab "$out/ready"
mkdir -p "$out/inputs" "$out/large"
cd "$out/inputs"

# Small set: text, an empty file, incompressible and semi-compressible data.
printf '[MAIN]\r\nNAME=Service release\r\nQUON.EXE\r\nlib/x.dll\r\n' > Update.List
: > empty.dat
head -c 150000 /dev/urandom > random.bin
awk 'BEGIN { srand(7); for (i = 0; i < 40000; i++) printf "line %d value %d %s\n", i, int(rand() * 1000), (i % 7 ? "alpha" : "omega") }' > table.txt
head -c 70001 /dev/urandom | od -An -tx1 -v > hexdump.txt
files="Update.List empty.dat random.bin table.txt hexdump.txt"

gcab -c -n "$out/gcab_stored.cab" $files
gcab -c -n -z "$out/gcab_mszip.cab" $files

# Wine's cabarc; its own chatter goes to a log, failures still stop the script.
# Without a prefix from the caller a private one is used (and its server
# stopped afterwards, so no process outlives the script).
WINEDEBUG=${WINEDEBUG:--all}
export WINEDEBUG
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="$out/wineprefix"
  WINEARCH=win32
  export WINEPREFIX WINEARCH
  own_prefix=1
fi
status=0
{ wine cabarc -m none N cabarc_none.cab $files && wine cabarc -m mszip N cabarc_mszip.cab $files; } \
  > "$out/cabarc.log" 2>&1 || status=$?
[ -z "$own_prefix" ] || wineserver -k > /dev/null 2>&1 || true
[ "$status" -eq 0 ] || { cat "$out/cabarc.log" >&2; exit "$status"; }
mv cabarc_none.cab cabarc_mszip.cab "$out/"

# One file over 100 MiB (110 MiB), compressible enough to pack and unpack quickly.
cd "$out/large"
awk 'BEGIN { srand(11); for (i = 0; i < 30000; i++) printf "%08d %s %d\n", i, (i % 13 ? "payload-segment" : "checkpoint"), int(rand() * 100000000) }' > chunk
i=0
while [ $i -lt 110 ]; do
  printf 'block %04d\n' $i
  head -c 1048565 chunk
  i=$((i + 1))
done > big.bin
rm chunk
printf 'tail\n' > small.txt
gcab -c -n -z "$out/large_mszip.cab" big.bin small.txt

echo "$stamp_version" > "$out/ready"
