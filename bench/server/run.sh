#!/bin/sh
# Throughput of one large archive download: quon-update-server against
# nginx serving the same file statically, both on loopback, both fetched
# with curl. Also the server's peak resident memory during the transfers.
#
# usage: bench/server/run.sh [BUILD_DIR] [SIZE_MIB] [RUNS]
#   BUILD_DIR  a configured and built tree (default build/default) holding
#              server/quon-update-server and tools/quon-wire/quon-wire
#   SIZE_MIB   archive size (default 512), RUNS transfers per server (default 5)
# NGINX_SENDFILE=off serves the file from nginx without sendfile (default on).
# Not run by CI. Needs curl and nginx (Debian's nginx package).
set -eu

BUILD=${1:-build/default}
SIZE_MIB=${2:-512}
RUNS=${3:-5}
SERVER=$BUILD/server/quon-update-server
WIRE=$BUILD/tools/quon-wire/quon-wire
NGINX=${NGINX:-/usr/sbin/nginx}
for f in "$SERVER" "$WIRE" "$NGINX"; do
  [ -x "$f" ] || { echo "missing $f (build the targets quon-update-server and quon-wire first)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/quon-bench-XXXXXX)
SERVER_PID= NGINX_PID= SAMPLER_PID=
cleanup() {
  for p in $SAMPLER_PID $SERVER_PID $NGINX_PID; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

echo "preparing a ${SIZE_MIB} MiB archive in $WORK"
mkdir -p "$WORK/root" "$WORK/nginx/logs"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/root/big.cab"
cat > "$WORK/root/catalog.ini" <<CATALOG
[update 1]
posted = 2026-01-01
name = Benchmark archive
description = ${SIZE_MIB} MiB of random bytes
applies-to = 6.0.121.3
archive = big.cab
brings = 6.0.122.3
CATALOG

# quon-update-server on a free port; its first line names the port.
"$SERVER" --root "$WORK/root" --listen 127.0.0.1:0 > "$WORK/server.out" 2> "$WORK/server.log" &
SERVER_PID=$!
for _ in $(seq 100); do grep -q '^listening on' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
QPORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/server.out")
[ -n "$QPORT" ] || { echo "the server did not start:" >&2; cat "$WORK/server.log" >&2; exit 1; }

# nginx with a private prefix and configuration, one process, sendfile on
# unless NGINX_SENDFILE=off
# (its default way of serving static files).
NPORT=$(free_port)
cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $WORK/nginx/logs/error.log;
pid $WORK/nginx/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  sendfile ${NGINX_SENDFILE:-on};
  tcp_nopush on;
  client_body_temp_path $WORK/nginx/tmp;
  proxy_temp_path $WORK/nginx/tmp;
  fastcgi_temp_path $WORK/nginx/tmp;
  uwsgi_temp_path $WORK/nginx/tmp;
  scgi_temp_path $WORK/nginx/tmp;
  server {
    listen 127.0.0.1:$NPORT;
    root $WORK/root;
  }
}
CONF
"$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" 2> "$WORK/nginx/stderr" &
NGINX_PID=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$NPORT/catalog.ini" && break; sleep 0.1; done

# The updater's request, scrambled as the updater sends it.
printf 'GetUpgradeFile' > "$WORK/body"
"$WIRE" encode --scramble code=4711 VI=2 KeyID=1 KeyType=std KeyVersion=6 updateversion=6.0.121.3 TableID=1 DB=usermt >> "$WORK/body"

QURL="http://127.0.0.1:$QPORT/$(grep -o 'at /.*' "$WORK/server.log" | head -1 | cut -c5-)?GetUpgradeFile"
NURL="http://127.0.0.1:$NPORT/big.cab"
QCMD="curl -s -0 -o /dev/null -w %{size_download}\ %{speed_download}\\n -H Content-Type:application/x-quon-encoded --data-binary @$WORK/body $QURL"
NCMD="curl -s -0 -o /dev/null -w %{size_download}\ %{speed_download}\\n $NURL"

cat "$WORK/root/big.cab" > /dev/null  # both read from the page cache

# Sample the server's resident set while it serves.
( while kill -0 "$SERVER_PID" 2>/dev/null; do
    awk '/^VmRSS/ {print $2}' "/proc/$SERVER_PID/status" 2>/dev/null
    sleep 0.05
  done > "$WORK/rss" ) &
SAMPLER_PID=$!

once() {  # $1 = label, $2 = command; prints MiB/s of one transfer
  out=$(eval "$2")
  size=${out% *}; speed=${out#* }
  [ "$size" -ge $((SIZE_MIB * 1024 * 1024)) ] || { echo "$1: short transfer ($size bytes)" >&2; exit 1; }
  awk -v s="$speed" 'BEGIN { printf "%.0f", s / 1048576 }'
}
stats() {  # best and median of the numbers in file $1
  sort -n "$1" | awk '{ v[NR] = $1 } END { printf "best %d MiB/s, median %d MiB/s", v[NR], v[int((NR + 1) / 2)] }'
}

echo "curl POST $QURL (quon-update-server) and curl GET $NURL (nginx), $RUNS runs each, alternating"
: > "$WORK/q"; : > "$WORK/n"
for i in $(seq "$RUNS"); do
  q=$(once quon-update-server "$QCMD"); echo "$q" >> "$WORK/q"
  n=$(once nginx "$NCMD"); echo "$n" >> "$WORK/n"
  echo "  run $i: quon-update-server $q MiB/s, nginx $n MiB/s"
done
Q=$(sort -n "$WORK/q" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
N=$(sort -n "$WORK/n" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
kill "$SAMPLER_PID" 2>/dev/null || true; wait "$SAMPLER_PID" 2>/dev/null || true; SAMPLER_PID=
PEAK_KB=$(sort -n "$WORK/rss" | tail -1)
HWM_KB=$(awk '/^VmHWM/ {print $2}' "/proc/$SERVER_PID/status")

echo "quon-update-server: $(stats "$WORK/q")"
echo "nginx (static file): $(stats "$WORK/n")"
awk -v q="$Q" -v n="$N" 'BEGIN { printf "ratio of medians: %.2f x nginx (target >= 0.80)\n", q / n }'
echo "server RSS during the transfers: sampled peak $((PEAK_KB / 1024)) MiB, VmHWM $((HWM_KB / 1024)) MiB (limit 64 MiB)"
