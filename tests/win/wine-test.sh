#!/bin/sh
# Runs one Windows test executable under Wine for ctest.
#   wine-test.sh [--xvfb] [--server BINARY ROOT] TEST.EXE [ARGS...]
# --xvfb    gives the test its own X display (xvfb-run -a picks a free one).
# --server  starts the native update server on 127.0.0.1 with a port of its
#           choosing and passes the port (QUON_TEST_SERVER_PORT) and the
#           root directory (QUON_TEST_SERVER_ROOT) to the test; the server is
#           stopped when the test ends, also on failure. When BINARY is
#           missing the test runs without these variables (and skips the
#           cases that need the server).
# The Wine prefix is $WINEPREFIX (the test script sets it), else one in the
# build tree; Wine's own installers for missing add-ons are switched off.
set -u
xvfb=0
server=""
root=""
while [ $# -gt 0 ]; do
  case "$1" in
    --xvfb) xvfb=1; shift ;;
    --server) server="$2"; root="$3"; shift 3 ;;
    *) break ;;
  esac
done
exe="$1"; shift

here=$(cd "$(dirname "$exe")" && pwd)
: "${WINEPREFIX:=$here/../../wineprefix}"
export WINEPREFIX WINEARCH="${WINEARCH:-win32}" WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Loopback only: no proxy from the environment.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
# A Wine server left by an earlier test may still hold another display.
wineserver -w 2>/dev/null

tmp=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "$server" ] && [ -x "$server" ] && [ -d "$root" ]; then
  "$server" --root "$root" --listen 127.0.0.1:0 >"$tmp/server.out" 2>"$tmp/server.err" &
  server_pid=$!
  i=0
  while ! grep -q "^listening on" "$tmp/server.out" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 "$server_pid" 2>/dev/null; then
      echo "wine-test.sh: the update server did not start:" >&2
      cat "$tmp/server.err" >&2
      exit 1
    fi
    sleep 0.1
  done
  port=$(sed -n 's/^listening on .*:\([0-9][0-9]*\)$/\1/p' "$tmp/server.out" | head -n 1)
  export QUON_TEST_SERVER_PORT="$port" QUON_TEST_SERVER_ROOT="$root"
elif [ -n "$server" ]; then
  echo "wine-test.sh: no update server at $server (root $root); its cases are skipped" >&2
fi

if [ $xvfb = 1 ]; then
  xvfb-run -a -s "-screen 0 1024x768x24" wine "$exe" "$@"
else
  wine "$exe" "$@"
fi
rc=$?
# Let this test's Wine processes end before the next test starts.
wineserver -w 2>/dev/null
exit $rc
