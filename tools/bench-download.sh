#!/usr/bin/env bash
# Download throughput benchmark, run by hand; see tests/bench/bench_download.py.
#   tools/bench-download.sh [RUNS] [GIB]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset test >/dev/null
cmake --build --preset test
source tools/session.sh
start_test_session
PYTHONPATH="$PWD/tests/support" python3 tests/bench/bench_download.py "$@"
