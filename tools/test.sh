#!/usr/bin/env bash
# Everything a fresh Debian 12 or 13 machine needs to run every test: packages,
# both builds, the Wine prefix, a display, the loopback distribution server,
# then ctest. Stops what it started, also when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset test >/dev/null
cmake --build --preset test

source tools/session.sh
start_test_session

ctest --preset test -j2 "$@"
