#!/usr/bin/env bash
# Makes a throwaway test CA and a loopback server certificate signed by it.
#
#   tools/make-cert.sh OUTDIR [NAME...]      (NAME defaults to localhost)
#   tools/make-cert.sh --code-signing OUTDIR
#
# NAMEs become subjectAltName entries: IPv4/IPv6 literals as IP, the rest as DNS.
# OUTDIR afterwards holds
#   ca.key  ca.pem  ca.der          the CA (ca.der is what goes into a ROOT store)
#   server.key  server.pem          the server's key and certificate
#   server-chain.pem                server certificate followed by the CA
# or, with --code-signing, beside the same CA
#   signing.key  signing.pem        a code-signing certificate and its key
#   signing.p12                     both in PKCS#12, password "test"
#   tsa.key  tsa.pem  tsa.cnf       a time-stamping certificate, its key and
#                                   an `openssl ts -reply` configuration
# Idempotent: an existing CA is reused, and an existing server certificate is
# kept as long as it was made for the same names by that CA.
set -euo pipefail

code_signing=0
if [[ ${1:-} == --code-signing ]]; then
  code_signing=1
  shift
fi
if (($# < 1)); then
  echo "usage: $0 OUTDIR [NAME...] | --code-signing OUTDIR" >&2
  exit 2
fi
out=$1
shift
names=("$@")
((${#names[@]})) || names=(localhost)
days=3650

mkdir -p "$out"
cd "$out"
umask 077

if [[ ! -f ca.key || ! -f ca.pem ]]; then
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
    -keyout ca.key -out ca.pem -subj "/O=Talvoren Test/CN=Talvoren Test Root CA" \
    -set_serial "0x$(openssl rand -hex 16)" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null
  rm -f server.pem
fi
[[ -f ca.der && ca.der -nt ca.pem ]] || openssl x509 -in ca.pem -outform DER -out ca.der

if ((code_signing)); then
  # One leaf certificate of the CA for `purpose`: key and certificate as
  # NAME.key and NAME.pem.
  leaf() {
    local name=$1 common_name=$2 purpose=$3
    openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout "$name.key" -out "$name.csr" \
      -subj "/O=Talvoren Test/CN=$common_name" 2>/dev/null
    cat >"$name.ext" <<EOF
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=$purpose
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid,issuer
EOF
    openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -sha256 -days "$days" \
      -set_serial "0x$(openssl rand -hex 16)" -extfile "$name.ext" -out "$name.pem" 2>/dev/null
    rm -f "$name.csr" "$name.ext"
  }
  if [[ ! -f signing.p12 || signing.p12 -ot ca.pem ]]; then
    leaf signing "Talvoren Test Code Signing" codeSigning
    leaf tsa "Talvoren Test Time Stamps" critical,timeStamping
    openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem \
      -passout pass:test -out signing.p12
    echo 01 >tsa.serial
    cat >tsa.cnf <<EOF
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = $PWD/tsa.serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
EOF
  fi
  chmod 644 ca.pem ca.der signing.pem tsa.pem
  exit 0
fi

san=()
for name in "${names[@]}"; do
  if [[ $name =~ ^[0-9.]+$ || $name == *:* ]]; then
    san+=("IP:$name")
  else
    san+=("DNS:$name")
  fi
done
san_line=$(IFS=,; echo "${san[*]}")

# A server certificate is still good if it carries exactly these names and
# verifies against the current CA.
current() {
  [[ -f server.key && -f server.pem && -f server.names ]] &&
    [[ $(cat server.names) == "$san_line" ]] &&
    openssl verify -CAfile ca.pem server.pem >/dev/null 2>&1
}

if ! current; then
  openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
    -subj "/O=Talvoren Test/CN=${names[0]}" 2>/dev/null
  cat >server.ext <<EOF
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=$san_line
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid,issuer
EOF
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -sha256 -days "$days" \
    -set_serial "0x$(openssl rand -hex 16)" -extfile server.ext -out server.pem 2>/dev/null
  rm -f server.csr server.ext
  echo "$san_line" >server.names
fi
cat server.pem ca.pem >server-chain.pem
# Certificates are public; only the keys stay private.
chmod 644 ca.pem ca.der server.pem server-chain.pem server.names
