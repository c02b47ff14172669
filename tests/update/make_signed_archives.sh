#!/bin/sh
# Builds the certificates and archives that the signature tests check, on
# the build host, for the Linux and the Windows suites alike:
#   make_signed_archives.sh OUTDIR QUON_PACK
# Certificates (openssl): vendor-ca (the vendor's own certificate, self-signed,
# also used to sign directly), vendor-signer (issued by vendor-ca), and a
# foreign pair with exactly the same names but other keys, and the vendor's
# second root (vendor-ca-b, another name) with a signer it issued.
# Certificates issued by vendor-ca in other profiles (issued-*: signed
# with SHA-1 or MD5, TLS server certificates, an intermediate authority,
# key usage alone, extended key usage alone, no extensions at all).
# Archives: unsigned, signed by each of them with quon-pack, signed by
# osslsigncode (SHA-256 and SHA-1), and a truncated one.
# Idempotent and safe to run concurrently: the work happens once under a
# lock, and OUTDIR/ready marks a complete set.
set -eu
out=$1
pack=$2
stamp_version=5
mkdir -p "$out"
exec 9>"$out/.lock"
flock 9
if [ -f "$out/ready" ] && [ "$(cat "$out/ready")" = "$stamp_version" ]; then
  exit 0
fi
rm -rf "$out/work" "$out"/*.cab "$out"/*.pem "$out"/*.der "$out/ready"
mkdir -p "$out/work/files"
cd "$out/work"

cat > ext.cnf <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca]
subjectKeyIdentifier = hash
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, digitalSignature
[signer]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[tls]
basicConstraints = CA:FALSE
keyUsage = critical, keyEncipherment
extendedKeyUsage = serverAuth
[tls-signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
[intermediate]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, digitalSignature
[usage]
keyUsage = critical, digitalSignature
[purpose]
extendedKeyUsage = codeSigning
CNF

# root NAME [CN]: a self-signed vendor certificate with its key.
root() {
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout "$1-key.pem" -out "$1.pem" \
    -subj "/O=Quon Test Vendor/CN=${2:-Quon Test Code Signing Root}" -config ext.cnf -extensions ca 2>>openssl.log
}
# leaf NAME ISSUER [EXTENSIONS [DIGEST]]: a certificate issued by ISSUER,
# by default a code-signing one signed with SHA-256; EXTENSIONS "none"
# gives one without extensions.
leaf() {
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1-key.pem" -out "$1.csr" \
    -subj "/O=Quon Test Vendor/CN=Quon Test Update Signer" -config ext.cnf 2>>openssl.log
  ext="-extfile ext.cnf -extensions ${3:-signer}"
  [ "${3:-}" = none ] && ext=""
  # shellcheck disable=SC2086
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2-key.pem" -set_serial 0x51 -days 3650 "-${4:-sha256}" \
    $ext -out "$1.pem" 2>>openssl.log
}
root vendor-ca
leaf vendor-signer vendor-ca
root foreign-ca
leaf foreign-signer foreign-ca
root vendor-ca-b "Quon Test Code Signing Root B"
leaf vendor-signer-b vendor-ca-b
leaf issued-sha1 vendor-ca signer sha1
leaf issued-md5 vendor-ca signer md5
leaf issued-tls vendor-ca tls
leaf issued-tls-signing vendor-ca tls-signing
leaf issued-ca vendor-ca intermediate
leaf issued-usage vendor-ca usage
leaf issued-purpose vendor-ca purpose
leaf issued-plain vendor-ca none
for c in vendor-ca vendor-signer foreign-ca vendor-ca-b; do
  openssl x509 -in "$c.pem" -outform DER -out "$c.der"
done

# The update's files: something to compress, something that does not.
printf 'QUON 6.0 service release\r\n' > files/readme.txt
head -c 300000 /dev/urandom > files/solver.dll
awk 'BEGIN { for (i = 0; i < 20000; i++) printf "row %d %d\n", i, i * 7 % 1000 }' > files/table.dat
pack_as() {  # pack_as OUT [--sign-cert C --sign-key K]: signed, it brings 6.0.122.3 to 6.0.121.3
  o=$1
  shift
  [ $# -gt 0 ] && set -- "$@" --applies-to 6.0.121.3 --brings 6.0.122.3
  "$pack" -o "$o" -C files "$@" --name "Service release" readme.txt solver.dll table.dat
}
pack_as unsigned.cab
pack_as vendor.cab --sign-cert vendor-ca.pem --sign-key vendor-ca-key.pem
# The issued signer with its key in DER form, the other forms being PEM.
openssl pkey -in vendor-signer-key.pem -outform DER -out vendor-signer-key.der
openssl x509 -in vendor-signer.pem -outform DER -out vendor-signer-cert.der
pack_as issued.cab --sign-cert vendor-signer-cert.der --sign-key vendor-signer-key.der
pack_as issued-b.cab --sign-cert vendor-signer-b.pem --sign-key vendor-signer-b-key.pem
pack_as foreign.cab --sign-cert foreign-signer.pem --sign-key foreign-signer-key.pem
pack_as foreign-root.cab --sign-cert foreign-ca.pem --sign-key foreign-ca-key.pem
for c in issued-sha1 issued-md5 issued-tls issued-tls-signing issued-ca issued-usage issued-purpose issued-plain; do
  pack_as "$c.cab" --sign-cert "$c.pem" --sign-key "$c-key.pem"
done
osslsigncode sign -certs vendor-signer.pem -key vendor-signer-key.pem -h sha256 -in unsigned.cab \
  -out ossl.cab > osslsigncode.log
osslsigncode sign -certs vendor-signer.pem -key vendor-signer-key.pem -h sha1 -in unsigned.cab \
  -out ossl-sha1.cab >> osslsigncode.log
size=$(wc -c < issued.cab)
head -c $((size - 100)) issued.cab > truncated.cab

mv ./*.cab vendor-ca.pem vendor-ca.der vendor-signer.pem vendor-signer-key.pem vendor-signer.der \
   foreign-ca.der vendor-ca-b.der "$out/"
cd "$out"
rm -rf work
echo "$stamp_version" > ready
