#!/bin/sh
# The certificates of the trusted road's client, made once per build tree at
# configure time (the client compiles two of them in):
#   make_trust_pki.sh OUTDIR
# tls-ca.pem: the authority the client trusts for HTTPS, which issued
# server.pem (127.0.0.1, key server-key.pem); vendor.pem: the vendor's
# code-signing certificate (key vendor-key.pem); foreign.pem: another signer
# with the same name (key foreign-key.pem). OUTDIR/ready marks a complete set.
set -eu
out=$1
[ -f "$out/ready" ] && exit 0
mkdir -p "$out"
cd "$out"
rm -f ready ./*.pem ./*.csr
cat > ext.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, digitalSignature
[server]
subjectAltName = IP:127.0.0.1
extendedKeyUsage = serverAuth
CNF
ssl() { openssl "$@" 2>>openssl.log; }
ssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout tls-ca-key.pem -out tls-ca.pem \
  -subj "/CN=Quon Test TLS Root" -config ext.cnf -extensions ca
ssl req -new -newkey rsa:2048 -nodes -keyout server-key.pem -out server.csr -subj "/CN=127.0.0.1" -config ext.cnf
ssl x509 -req -in server.csr -CA tls-ca.pem -CAkey tls-ca-key.pem -set_serial 2 -days 3650 -sha256 \
  -extfile ext.cnf -extensions server -out server.pem
for who in vendor foreign; do
  ssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout "$who-key.pem" -out "$who.pem" \
    -subj "/O=Quon Test Vendor/CN=Quon Test Code Signing Root" -config ext.cnf -extensions ca
done
echo 1 > ready
