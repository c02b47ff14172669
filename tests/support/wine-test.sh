#!/bin/sh
# Runs one Windows test executable under Wine for ctest.
#   wine-test.sh [--xvfb] [--server BINARY ROOT [--tls]] [--proxy USER PASSWORD]
#                [--locale LANGUAGE.CHARMAP] TEST.EXE [ARGS...]
# --xvfb    gives the test its own X display (xvfb-run -a picks a free one).
# --server  starts the native update server on 127.0.0.1 with a port of its
#           choosing and passes the port (QUON_TEST_SERVER_PORT) and the
#           root directory (QUON_TEST_SERVER_ROOT) to the test; the server is
#           stopped when the test ends, also on failure. When BINARY is
#           missing the test runs without these variables (and skips the
#           cases that need the server).
# --tls     the server speaks HTTPS with a certificate for 127.0.0.1 issued
#           by an authority made here with openssl (ca.pem beside it).
# --proxy   starts a private tinyproxy on 127.0.0.1 that asks for these
#           credentials and gives it to the test as its system proxy
#           (http_proxy, which WinINet's preconfigured settings take up) and
#           as QUON_TEST_PROXY_PORT; skipped when tinyproxy is missing.
# --locale  runs the test in that Unix locale (made with localedef for the
#           run, e.g. pl_PL.CP1250), from which Wine takes its ANSI code
#           page; the test gets the name as QUON_TEST_LOCALE.
# The Wine prefix is $WINEPREFIX (the test script sets it), else the one
# given with --prefix DIR; Wine's own installers for missing add-ons are
# switched off.
set -u
xvfb=0
server=""
root=""
tls=0
proxy_user=""
proxy_password=""
default_prefix=""
locale=""
while [ $# -gt 0 ]; do
  case "$1" in
    --xvfb) xvfb=1; shift ;;
    --server) server="$2"; root="$3"; shift 3 ;;
    --tls) tls=1; shift ;;
    --proxy) proxy_user="$2"; proxy_password="$3"; shift 3 ;;
    --prefix) default_prefix="$2"; shift 2 ;;
    --locale) locale="$2"; shift 2 ;;
    *) break ;;
  esac
done
exe="$1"; shift

: "${WINEPREFIX:=${default_prefix:-$(cd "$(dirname "$exe")" && pwd)/wineprefix}}"
export WINEPREFIX WINEARCH="${WINEARCH:-win32}" WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Loopback only: no proxy from the environment.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
# A Wine server left by an earlier test may still hold another display.
wineserver -w 2>/dev/null

tmp=$(mktemp -d)
server_pid=""
proxy_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  if [ -n "$proxy_pid" ]; then
    kill "$proxy_pid" 2>/dev/null
    wait "$proxy_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "$server" ] && [ -x "$server" ] && [ -d "$root" ]; then
  tls_args=""
  if [ $tls = 1 ]; then
    t="$tmp/tls"
    mkdir "$t"
    printf 'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\n' >"$t/ext.cnf"
    { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$t/ca-key.pem" -out "$t/ca.pem" \
        -subj "/CN=Quon Test TLS Root" &&
      openssl req -new -newkey rsa:2048 -nodes -keyout "$t/server-key.pem" -out "$t/server.csr" -subj "/CN=127.0.0.1" &&
      openssl x509 -req -in "$t/server.csr" -CA "$t/ca.pem" -CAkey "$t/ca-key.pem" -set_serial 2 -days 2 \
        -extfile "$t/ext.cnf" -out "$t/server.pem"; } >"$t/openssl.log" 2>&1 ||
      { echo "wine-test.sh: openssl could not make the test certificates:" >&2; cat "$t/openssl.log" >&2; exit 1; }
    tls_args="--tls-cert $t/server.pem --tls-key $t/server-key.pem"
  fi
  # shellcheck disable=SC2086  # the paths hold no blanks (mktemp)
  "$server" --root "$root" --listen 127.0.0.1:0 --stats "$tmp/stats.sqlite" $tls_args >"$tmp/server.out" \
    2>"$tmp/server.err" &
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

if [ -n "$proxy_user" ] && [ -x /usr/bin/tinyproxy ]; then
  for attempt in 1 2 3 4 5; do
    pport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
    cat >"$tmp/tinyproxy.conf" <<CONF
Port $pport
Listen 127.0.0.1
Timeout 30
LogFile "$tmp/tinyproxy.log"
LogLevel Info
MaxClients 20
DisableViaHeader Yes
BasicAuth $proxy_user $proxy_password
CONF
    /usr/bin/tinyproxy -d -c "$tmp/tinyproxy.conf" >"$tmp/tinyproxy.out" 2>&1 &
    proxy_pid=$!
    i=0
    while [ $i -lt 50 ] && kill -0 "$proxy_pid" 2>/dev/null &&
          ! python3 -c "import socket,sys; s=socket.socket(); sys.exit(s.connect_ex(('127.0.0.1', $pport)))" 2>/dev/null; do
      i=$((i + 1)); sleep 0.1
    done
    if kill -0 "$proxy_pid" 2>/dev/null && [ $i -lt 50 ]; then break; fi
    kill "$proxy_pid" 2>/dev/null; wait "$proxy_pid" 2>/dev/null; proxy_pid=""
  done
  if [ -n "$proxy_pid" ]; then
    export http_proxy="http://127.0.0.1:$pport" QUON_TEST_PROXY_PORT="$pport"
  else
    echo "wine-test.sh: tinyproxy did not start; the proxy cases are skipped" >&2
    cat "$tmp/tinyproxy.out" >&2
  fi
elif [ -n "$proxy_user" ]; then
  echo "wine-test.sh: no tinyproxy; the proxy cases are skipped" >&2
fi

if [ -n "$locale" ]; then
  # localedef warns about charmaps that are not ASCII supersets (Shift JIS)
  # and says so in its exit code; the locale is made all the same.
  mkdir -p "$tmp/locale"
  localedef -c -f "${locale#*.}" -i "${locale%.*}" "$tmp/locale/$locale" >"$tmp/localedef.out" 2>&1
  if [ ! -d "$tmp/locale/$locale" ]; then
    echo "wine-test.sh: localedef could not make $locale:" >&2
    cat "$tmp/localedef.out" >&2
    exit 1
  fi
  export LOCPATH="$tmp/locale" LC_ALL="$locale" QUON_TEST_LOCALE="$locale"
fi

if [ $xvfb = 1 ]; then
  xvfb-run -a -s "-screen 0 1024x768x24" wine "$exe" "$@"
else
  wine "$exe" "$@"
fi
rc=$?
if [ $rc != 0 ] && [ -n "$proxy_pid" ]; then
  echo "--- tinyproxy log" >&2
  cat "$tmp/tinyproxy.log" >&2
fi
# Let this test's Wine processes end before the next test starts.
wineserver -w 2>/dev/null
exit $rc
