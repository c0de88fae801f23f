#!/usr/bin/env bash
# Authenticode-signs a release exe with osslsigncode (SHA-256), verifies the
# signature, and proves that what was signed is the reproducible build: the
# signed exe with its signature removed must equal the unsigned exe. Beside
# OUT.exe it writes OUT.cdx.json, the SBOM of the signed file: the build's
# SBOM beside IN.exe (IN.cdx.json), which must describe IN.exe, with the
# hashes and file name of OUT.exe.
#
#   deploy/sign-release.sh KEY-OPTIONS --url URL --ca FILE [OPTIONS] IN.exe OUT.exe
#
# The key, from a file:
#   --pkcs12 FILE          certificate chain and key in PKCS#12
# or from a PKCS#11 token (OpenSSL's pkcs11 engine, libengine-pkcs11-openssl):
#   --pkcs11-module LIB    the token's PKCS#11 library
#   --key URI              the key on the token, "pkcs11:token=...;object=..."
#   --pkcs11-cert URI      the certificate on the token, or
#   --certs FILE           the certificate chain as a PEM file
#   --pkcs11-engine LIB    an engine other than the installed pkcs11 engine
#   --url URL              the product's address, named in the signature
#   --ca FILE              the root certificates (PEM) the signature must
#                          chain to: that of the code-signing certificate and,
#                          with --timestamp, that of the time-stamp authority.
#                          Only these count: the system's TLS bundle is no
#                          record of code-signing roots, so there is no default.
# Options:
#   --pass-file FILE       password of the PKCS#12 file or PIN of the token
#                          (never on the command line, where ps shows it)
#   --timestamp URL        RFC 3161 time-stamp server; its signature must
#                          verify too
#   --name TEXT            product name in the signature, printable ASCII
#                          (Talvoren Downloader): the signature stores it as
#                          an IA5String
#   --rebuild              also build the committed sources of HEAD afresh in
#                          a temporary folder and require IN.exe to equal that;
#                          IN.exe must be in the build folder it was built in,
#                          whose CMakeCache.txt gives the manifest address
#
# The signing tool comes from tools/install-deps.sh.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2
  exit 2
}

name="Talvoren Downloader"
url=""
ca=""
rebuild=0
key_options=()
sign_options=()
timestamped=0
positional=()
while (($#)); do
  case $1 in
    --pkcs12) key_options+=(-pkcs12 "$2"); shift 2 ;;
    --pkcs11-module) key_options+=(-pkcs11module "$2"); shift 2 ;;
    --pkcs11-engine) key_options+=(-pkcs11engine "$2"); shift 2 ;;
    --pkcs11-cert) key_options+=(-pkcs11cert "$2"); shift 2 ;;
    --certs) key_options+=(-certs "$2"); shift 2 ;;
    --key) key_options+=(-key "$2"); shift 2 ;;
    --pass-file) key_options+=(-readpass "$2"); shift 2 ;;
    --timestamp) sign_options+=(-ts "$2"); timestamped=1; shift 2 ;;
    --name) name=$2; shift 2 ;;
    --url) url=$2; shift 2 ;;
    --ca) ca=$2; shift 2 ;;
    --rebuild) rebuild=1; shift ;;
    -h | --help) usage ;;
    -*) echo "unknown option $1" >&2; usage ;;
    *) positional+=("$1"); shift ;;
  esac
done
((${#positional[@]} == 2 && ${#key_options[@]})) && [[ -n $url && -n $ca ]] || usage
if LC_ALL=C grep -q '[^ -~]' <<<"$name"; then
  echo "--name must be printable ASCII: the signature stores it as an IA5String" >&2
  exit 2
fi
in=${positional[0]}
out=${positional[1]}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The PE checksum, a field of the optional header, covers the whole file: it
# is the one field that signing must rewrite (osslsigncode recomputes it when
# it adds and when it removes the signature). It alone is zeroed in both
# files before they are compared.
without_checksum() {
  local file=$1 checksum=$2
  head -c "$checksum" "$file"
  printf '\0\0\0\0'
  tail -c +$((checksum + 5)) "$file"
}

# Two files that are missing or empty are not the same program.
same_but_checksum() {
  local a=$1 b=$2 pe
  [[ -s $a && -s $b ]] || return 1
  pe=$(od -An -tu4 -j60 -N4 "$a" | tr -d ' ')
  local checksum=$((pe + 24 + 64))
  cmp -s <(without_checksum "$a" "$checksum") <(without_checksum "$b" "$checksum")
}

if ((rebuild)); then
  # The address is compiled in: a rebuild with another one cannot match.
  cache=$(dirname "$in")/CMakeCache.txt
  manifest_url=$(sed -n 's/^TALVOREN_MANIFEST_URL:STRING=//p' "$cache" 2>/dev/null || true)
  if [[ -z $manifest_url ]]; then
    echo "--rebuild needs $in in the build folder it was built in: its manifest address" \
         "comes from the CMakeCache.txt there, and $cache names none" >&2
    exit 2
  fi
  echo "building the committed sources of $(git -C "$repo" rev-parse --short HEAD) afresh"
  git -C "$repo" archive HEAD | tar -x -C "$work"
  cmake -S "$work" --preset release "-DTALVOREN_MANIFEST_URL=$manifest_url" >/dev/null
  cmake --build "$work/build/release" --target "$(basename "$in" .exe)" >/dev/null
  if ! same_but_checksum "$work/build/release/$(basename "$in")" "$in"; then
    echo "$in is not the build of the committed sources" >&2
    exit 1
  fi
fi

mkdir -p "$(dirname "$out")"
osslsigncode sign "${key_options[@]}" -h sha256 -n "$name" -i "$url" "${sign_options[@]}" \
  -in "$in" -out "$work/signed.exe" >/dev/null
# osslsigncode reports a time stamp that does not verify, yet exits 0.
if ! osslsigncode verify -in "$work/signed.exe" -CAfile "$ca" -TSA-CAfile "$ca" \
     >"$work/verify.log" 2>&1 ||
   { ((timestamped)) &&
     ! grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log"; }; then
  cat "$work/verify.log" >&2
  echo "the signature of $out does not verify against $ca" >&2
  exit 1
fi
osslsigncode remove-signature -in "$work/signed.exe" -out "$work/stripped.exe" >/dev/null
if ! same_but_checksum "$work/stripped.exe" "$in"; then
  echo "removing the signature does not give back $in" >&2
  exit 1
fi
if ! python3 "$repo/deploy/sbom.py" --signed "${in%.exe}.cdx.json" "$in" "$work/signed.exe" \
     "$(basename "$out")" "$work/signed.cdx.json"; then
  echo "no SBOM for $out: ${in%.exe}.cdx.json must be the SBOM of $in" >&2
  exit 1
fi
mv "$work/signed.cdx.json" "${out%.exe}.cdx.json"
mv "$work/signed.exe" "$out"
echo "signed $out; the signature verifies and removing it gives back $in;" \
     "its SBOM is ${out%.exe}.cdx.json"
