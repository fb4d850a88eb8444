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
#   lookalike.exe        signed by "uvnc bvb\u0101" (a Latin a with macron)
#   two-names.exe        a certificate with the common names "uvnc bvba" and
#                        "Andere Uitgever BV"
#   no-code-signing.exe  "uvnc bvba" with a certificate for web servers only
#   padded.exe           signed.exe with 16 bytes added to its signature's
#                        entry (outside the signed hash)
#   old.exe              the double as version 1.4.3.5, signed by "uvnc bvba"
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
[server_only]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[req]
string_mask = utf8only
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
  openssl req -new -newkey rsa:2048 -nodes -utf8 -config "$ca/openssl.cnf" -subj "$subject" \
    -keyout "$ca/$name.key" -out "$ca/$name.csr" 2>/dev/null
  local signer=(-cert "$ca/$issuer.pem" -keyfile "$ca/$issuer.key")
  [ "$issuer" = self ] && signer=(-selfsign -keyfile "$ca/$name.key")
  openssl ca -batch -notext -preserveDN -utf8 -config "$ca/openssl.cnf" "${signer[@]}" -extensions "$ext" \
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
issue lookalike "/C=BE/O=$publisher/CN=uvnc bvb$(printf '\xc4\x81')" code_signing intermediate
issue two-names "/C=BE/CN=$publisher/CN=Andere Uitgever BV" code_signing intermediate
issue server "/C=BE/O=$publisher/CN=$publisher" server_only intermediate

# sign OUT CERT [ISSUER...]: the double (or $input) signed by CERT, carrying
# the issuers
sign() {
  local target=$1 cert=$2 input=${input:-$double}
  shift 2
  local chain="$ca/$target.chain.pem"
  cat "$ca/$cert.pem" >"$chain"
  for issuer in "$@"; do cat "$ca/$issuer.pem" >>"$chain"; done
  rm -f "$out/$target.exe"
  osslsigncode sign -certs "$chain" -key "$ca/$cert.key" -h sha256 -n "UltraVNC Setup" \
    -in "$input" -out "$out/$target.exe" >/dev/null
}

openssl x509 -in "$ca/root.pem" -outform DER -out "$out/test-root.der"
openssl x509 -in "$ca/publisher.pem" -noout -fingerprint -sha1 |
  sed 's/.*=//; s/://g' | tr 'A-F' 'a-f' >"$out/publisher.sha1"
sign signed publisher intermediate
sign untrusted-root stranger stranger-root
sign expired expired intermediate
sign other-publisher other intermediate
sign no-intermediate publisher
sign lookalike lookalike intermediate
sign two-names two-names intermediate
sign no-code-signing server intermediate
# The double's fixed file version set to 1.4.3.5, below the minimum.
cp "$double" "$ca/old.exe"
python3 - "$ca/old.exe" <<'PY'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    data = f.read()
    at = data.index(struct.pack("<I", 0xFEEF04BD))
    f.seek(at + 8)
    f.write(struct.pack("<II", 1 << 16 | 4, 3 << 16 | 5))
PY
input="$ca/old.exe" sign old publisher intermediate
# 16 more bytes in the signature's entry and the table: the hash skips the
# table, so the signature itself stays valid.
cp "$out/signed.exe" "$out/padded.exe"
python3 - "$out/padded.exe" <<'PY'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    entry = pe + 24 + (128 if magic == 0x10B else 144)
    offset, size = struct.unpack_from("<II", data, entry)
    struct.pack_into("<I", data, entry + 4, size + 16)
    length = struct.unpack_from("<I", data, offset)[0]
    struct.pack_into("<I", data, offset, length + 16)
    data += b"\x5a" * 16
    f.seek(0)
    f.write(data)
PY
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
