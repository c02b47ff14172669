#!/bin/sh
# The configure-time checks of the trust settings (cmake/QuonTrustConfig.cmake),
# one probe configuration per case, with a certificate made here.
#   check_trust_config.sh SOURCE_DIR [FILE_TO_SIGN...]
# With files, also signs copies of them with quon_codesign_commands (as
# package-win does) and checks them with osslsigncode verify, then again
# timestamped by a local time-stamping authority (timestamp_authority.py on
# loopback, started here), and with an authority that does not answer.
set -u
src=$1
shift
work=$(mktemp -d)
tsa_pid=
trap '[ -n "$tsa_pid" ] && kill "$tsa_pid"; rm -rf "$work"' EXIT
passed=0
failed=0
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quon Test Config" -keyout key.pem -out cert.pem \
  2>/dev/null || { echo "openssl failed"; exit 1; }
openssl x509 -in cert.pem -outform DER -out cert.der
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quon Test Config B" -keyout key2.pem -out cert2.pem \
  2>/dev/null || { echo "openssl failed"; exit 1; }
cat cert.pem cert.pem > two.pem
echo "not a certificate" > text.txt
der_sha=$(sha256sum cert.der | cut -d' ' -f1)
# The same fingerprint as a person copies it: uppercase, with colons.
der_sha_written=$(echo "$der_sha" | tr a-f A-F | sed 's/\(..\)/\1:/g; s/:$//')

probe() {
  rm -rf b
  cmake -S "$src/tests/update/config_probe" -B b -DQUON_SOURCE_DIR="$src" "$@" > out.txt 2>&1
}
says() {  # says PATTERN: the output holds it, messages' line breaks aside
  tr -s '\n ' '  ' < out.txt | grep -q -- "$1"
}
result() {  # result DESCRIPTION OK
  if [ "$2" = 1 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1"
    cat out.txt
  fi
}
expect_ok() {  # expect_ok DESCRIPTION PATTERN ARGS...
  d=$1 p=$2
  shift 2
  if probe "$@" && says "$p"; then result "$d" 1; else result "$d" 0; fi
}
expect_fail() {
  d=$1 p=$2
  shift 2
  if ! probe "$@" && says "$p"; then result "$d" 1; else result "$d" 0; fi
}

expect_ok "defaults: http on port 80, nothing required" "require=false port=80 signer-chars=4 ca-chars=4" 
expect_ok "https moves the default port" "port=443" -DQUON_UPDATE_SCHEME=https
expect_fail "an unknown scheme" "must be http or https" -DQUON_UPDATE_SCHEME=ftp
expect_ok "a PEM signer is required by default" "require=true" -DQUON_UPDATE_SIGNER_CERT=cert.pem
expect_ok "PEM and DER give the same certificate" "$der_sha" -DQUON_UPDATE_SIGNER_CERT=cert.pem
expect_ok "a DER signer, explicitly not required" "require=false" -DQUON_UPDATE_SIGNER_CERT=cert.der \
  -DQUON_UPDATE_REQUIRE_SIGNATURE=OFF
expect_fail "required without a signer" "names no certificate" -DQUON_UPDATE_REQUIRE_SIGNATURE=ON
expect_fail "required, not a boolean" "must be ON, OFF or empty" -DQUON_UPDATE_SIGNER_CERT=cert.pem \
  -DQUON_UPDATE_REQUIRE_SIGNATURE=maybe
expect_fail "a signer that is no certificate" "is not an X.509 certificate" -DQUON_UPDATE_SIGNER_CERT=text.txt
expect_fail "a signer file with two certificates" "exactly one certificate" -DQUON_UPDATE_SIGNER_CERT=two.pem
expect_fail "a signer file that is missing" "is not a file" -DQUON_UPDATE_SIGNER_CERT=missing.pem
expect_ok "two signers, PEM and DER" "signers=2" "-DQUON_UPDATE_SIGNER_CERT=cert2.pem;cert.der"
expect_fail "a list with a missing signer" "missing.pem' is not a file" "-DQUON_UPDATE_SIGNER_CERT=cert.pem;missing.pem"
expect_fail "a list with a file that is no certificate" "is not an X.509 certificate" \
  "-DQUON_UPDATE_SIGNER_CERT=cert.pem;text.txt"
expect_ok "revoked fingerprints in any case, with colons" "revoked=$der_sha;$der_sha" -DQUON_UPDATE_SIGNER_CERT=cert2.pem \
  "-DQUON_UPDATE_REVOKED_CERTS=$der_sha_written;$der_sha"
expect_fail "a revoked entry that is no fingerprint" "is not a SHA-256 fingerprint" "-DQUON_UPDATE_REVOKED_CERTS=abc"
expect_ok "a revoked trusted signer is warned of" "every archive signed under it is refused" \
  -DQUON_UPDATE_SIGNER_CERT=cert.pem "-DQUON_UPDATE_REVOKED_CERTS=$der_sha"
expect_ok "extra CAs in PEM" "ca-chars=" -DQUON_UPDATE_SCHEME=https -DQUON_UPDATE_EXTRA_CA_FILE=two.pem
expect_fail "extra CAs not in PEM" "must be a PEM file of certificates" -DQUON_UPDATE_EXTRA_CA_FILE=cert.der
expect_fail "a code-signing certificate without its key" "must be given together" -DQUON_CODESIGN_CERT=cert.pem
expect_fail "a code-signing key that is no key" "is not an unencrypted private key" -DQUON_CODESIGN_CERT=cert.pem \
  -DQUON_CODESIGN_KEY=text.txt
expect_fail "a time-stamping authority without signing" "QUON_CODESIGN_CERT and QUON_CODESIGN_KEY are not" \
  -DQUON_CODESIGN_TIMESTAMP_URL=http://127.0.0.1:1/
expect_fail "a time-stamping authority that is no URL" "must be an http or https URL" -DQUON_CODESIGN_CERT=cert.pem \
  -DQUON_CODESIGN_KEY=key.pem -DQUON_CODESIGN_TIMESTAMP_URL=ftp://127.0.0.1/

if [ $# -gt 0 ]; then
  files=$(printf '%s;' "$@")
  expect_ok "package signing configured" "codesign=ON" -DQUON_CODESIGN_CERT=cert.pem -DQUON_CODESIGN_KEY=key.pem \
    "-DPROBE_SIGN=${files%;}"
  if cmake --build b > out.txt 2>&1; then result "signing the package's files" 1; else result "signing the package's files" 0; fi
  for f in "$@"; do
    name=$(basename "$f")
    if osslsigncode verify -CAfile cert.pem -in "b/signed/$name" > out.txt 2>&1; then ok=1; else ok=0; fi
    result "$name is signed and verifies" $ok
    if osslsigncode verify -CAfile cert.pem -in "$f" > out.txt 2>&1; then ok=0; else ok=1; fi
    result "the built $name itself stays unsigned" $ok
  done

  # The authority: a certificate for time stamping, openssl ts behind HTTP.
  mkdir tsa
  cat > tsa/tsa.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[tsa_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = tsa_config
[tsa_config]
dir = .
serial = ./serial
crypto_device = builtin
signer_cert = ./tsa.pem
signer_key = ./tsa-key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CNF
  echo 01 > tsa/serial
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quon Test Time Stamping" -keyout tsa/tsa-key.pem \
    -out tsa/tsa.pem -config tsa/tsa.cnf -extensions tsa_ext 2>/dev/null
  python3 "$src/tests/update/timestamp_authority.py" "$work/tsa" &
  tsa_pid=$!
  for _ in $(seq 50); do [ -f tsa/port ] && break; sleep 0.1; done
  export no_proxy='*' NO_PROXY='*'
  expect_ok "timestamped signing configured" "codesign=ON" -DQUON_CODESIGN_CERT=cert.pem -DQUON_CODESIGN_KEY=key.pem \
    "-DQUON_CODESIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat tsa/port)/" "-DPROBE_SIGN=${files%;}"
  if cmake --build b > out.txt 2>&1; then ok=1; else ok=0; fi
  result "signing the package's files with a timestamp" $ok
  for f in "$@"; do
    name=$(basename "$f")
    if osslsigncode verify -CAfile cert.pem -TSA-CAfile tsa/tsa.pem -in "b/signed/$name" > out.txt 2>&1 &&
       says "Timestamp Server Signature verification: ok"; then ok=1; else ok=0; fi
    result "$name carries a timestamp that verifies" $ok
  done
  # Nothing answers on port 1 of loopback: the build fails, and no file is
  # left signed without a timestamp.
  expect_ok "an authority that does not answer" "codesign=ON" -DQUON_CODESIGN_CERT=cert.pem \
    -DQUON_CODESIGN_KEY=key.pem -DQUON_CODESIGN_TIMESTAMP_URL=http://127.0.0.1:1/ "-DPROBE_SIGN=${files%;}"
  if cmake --build b > out.txt 2>&1; then ok=0; else ok=1; fi
  result "signing fails when the authority does not answer" $ok
  for f in "$@"; do
    name=$(basename "$f")
    if osslsigncode verify -CAfile cert.pem -in "b/signed/$name" > out.txt 2>&1; then ok=0; else ok=1; fi
    result "$name is not left signed without a timestamp" $ok
  done
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
