#!/bin/sh
# The certificates of the trusted road's client, made once per build tree at
# configure time (the client compiles two of them in):
#   make_trust_pki.sh OUTDIR
# tls-ca.pem: the authority the client trusts for HTTPS, which issued
# server.pem (127.0.0.1, key server-key.pem); vendor.pem: the vendor's
# code-signing certificate (key vendor-key.pem); foreign.pem: another signer
# with the same name (key foreign-key.pem); signer.pem: a code-signing
# certificate vendor.pem issued (key signer-key.pem). OUTDIR/ready marks a
# complete set of this version.
set -eu
out=$1
[ "$(cat "$out/ready" 2>/dev/null)" = 2 ] && exit 0
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
[signer]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
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
ssl req -new -newkey rsa:2048 -nodes -keyout signer-key.pem -out signer.csr \
  -subj "/O=Quon Test Vendor/CN=Quon Test Update Signer" -config ext.cnf
ssl x509 -req -in signer.csr -CA vendor.pem -CAkey vendor-key.pem -set_serial 3 -days 3650 -sha256 \
  -extfile ext.cnf -extensions signer -out signer.pem
echo 2 > ready
