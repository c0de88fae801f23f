#!/usr/bin/env bash
# Installs what building, testing and releasing need on a fresh Debian 12 or
# 13 machine or root (git: signing with --rebuild exports the commit).
# Idempotent: does nothing when every package and the SBOM validator are
# already there.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine64 xvfb xauth x11-apps fonts-wqy-microhei fonts-wine
  cmake ninja-build googletest imagemagick openssl python3 iproute2 nginx-light
  util-linux e2fsprogs bc git
  osslsigncode libengine-pkcs11-openssl softhsm2 opensc
)

# The SBOM validator runs on Node.js. A Node.js from elsewhere brings its own
# npm, which Debian's npm package would clash with.
if ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$(dirname "$0")/install-sbom-validator.sh"
