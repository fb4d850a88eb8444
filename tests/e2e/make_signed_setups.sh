#!/usr/bin/env bash
# Makes the signed setup programs of the installer's end-to-end test from
# the setup double, with keys made here and now (none is ever committed):
#   make_signed_setups.sh OUT_DIR SETUP_DOUBLE.exe
# OUT_DIR receives
#   test-root.der        the root the test prefixes are told to trust
#   publisher.sha1       the thumbprint of the publisher's certificate
#   signed.exe           signed by "uvnc bvba" under that root, through an
#                        intermediate that the signature carries
#   tampered.exe         signed.exe with one byte changed after signing
#   unsigned.exe         the double as it is
#   untrusted-root.exe   "uvnc bvba" under a root nobody trusts
#   expired.exe          "uvnc bvba" whose certificate ran out in 2021
#   other-publisher.exe  a valid signature of someone else
#   no-intermediate.exe  signed.exe's certificate without its intermediate
set -euo pipefail
out=$1 double=$2
publisher="uvnc bvba"
mkdir -p "$out"
ca=$(mktemp -d)
trap 'rm -rf "$ca"' EXIT

cat >"$ca/openssl.cnf" <<CONF
[ca]
default_ca = test_ca
[test_ca]
database = $ca/index.txt
new_certs_dir = $ca
serial = $ca/serial
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no
[any_name]
commonName = supplied
organizationName = optional
countryName = optional
[root]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical,CA:true,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[code_signing]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
CONF
: >"$ca/index.txt"
echo 1000 >"$ca/serial"

yesterday=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
next_month=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)

# issue NAME SUBJECT EXTENSIONS ISSUER|self [START END]: NAME.key, NAME.pem
issue() {
  local name=$1 subject=$2 ext=$3 issuer=$4 start=${5:-$yesterday} end=${6:-$next_month}
  openssl req -new -newkey rsa:2048 -nodes -config "$ca/openssl.cnf" -subj "$subject" \
    -keyout "$ca/$name.key" -out "$ca/$name.csr" 2>/dev/null
  local signer=(-cert "$ca/$issuer.pem" -keyfile "$ca/$issuer.key")
  [ "$issuer" = self ] && signer=(-selfsign -keyfile "$ca/$name.key")
  openssl ca -batch -notext -preserveDN -config "$ca/openssl.cnf" "${signer[@]}" -extensions "$ext" \
    -startdate "$start" -enddate "$end" -in "$ca/$name.csr" -out "$ca/$name.pem" 2>/dev/null
}

issue root "/CN=CorVAN NG Test Root" root self
issue intermediate "/CN=CorVAN NG Test Code Signing CA" intermediate root
issue publisher "/C=BE/O=$publisher/CN=$publisher" code_signing intermediate
issue expired "/C=BE/O=$publisher/CN=$publisher" code_signing intermediate \
  20200101000000Z 20210101000000Z
issue other "/C=NL/O=Andere Uitgever BV/CN=Andere Uitgever BV" code_signing intermediate
issue stranger-root "/CN=CorVAN NG Untrusted Root" root self
issue stranger "/C=BE/O=$publisher/CN=$publisher" code_signing stranger-root

# sign OUT CERT [ISSUER...]: the double signed by CERT, carrying the issuers
sign() {
  local target=$1 cert=$2
  shift 2
  local chain="$ca/$target.chain.pem"
  cat "$ca/$cert.pem" >"$chain"
  for issuer in "$@"; do cat "$ca/$issuer.pem" >>"$chain"; done
  rm -f "$out/$target.exe"
  osslsigncode sign -certs "$chain" -key "$ca/$cert.key" -h sha256 -n "UltraVNC Setup" \
    -in "$double" -out "$out/$target.exe" >/dev/null
}

openssl x509 -in "$ca/root.pem" -outform DER -out "$out/test-root.der"
openssl x509 -in "$ca/publisher.pem" -noout -fingerprint -sha1 |
  sed 's/.*=//; s/://g' | tr 'A-F' 'a-f' >"$out/publisher.sha1"
sign signed publisher intermediate
sign untrusted-root stranger stranger-root
sign expired expired intermediate
sign other-publisher other intermediate
sign no-intermediate publisher
cp "$double" "$out/unsigned.exe"
# One byte in the middle of the program's code, far from the signature.
cp "$out/signed.exe" "$out/tampered.exe"
python3 - "$out/tampered.exe" <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(0, 2)
    f.seek(f.tell() // 3)
    byte = f.read(1)[0]
    f.seek(-1, 1)
    f.write(bytes([byte ^ 0x01]))
PY
