#!/usr/bin/env bash
# Installs CycloneDX's own library, which validates the SBOMs, into
# deploy/sbom-validator from the npm registry, at the versions its lock file
# pins; again only when the lock changes. Needs npm (tools/install-deps.sh)
# and the registry; run it where the tests will find no network.
set -euo pipefail
validator="$(dirname "$0")/../deploy/sbom-validator"
if ! cmp -s "$validator/package-lock.json" "$validator/node_modules/.installed-lock.json"; then
  npm ci --prefix "$validator" --omit=optional --ignore-scripts --no-audit --no-fund \
    --loglevel=error >/dev/null
  cp "$validator/package-lock.json" "$validator/node_modules/.installed-lock.json"
fi
