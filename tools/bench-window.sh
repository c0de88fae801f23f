#!/usr/bin/env bash
# Window benchmarks, run by hand: paint cost per frame, start-up to the first
# complete frame, CPU of the idle and of the minimised window, and the size of
# the release exe. Figures go to standard output.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
cmake --preset test >/dev/null && cmake --build --preset test >/dev/null
source tools/session.sh
start_test_session

bench=build/test/tests/bench
work=$(mktemp -d)
trap 'stop_test_session; rm -rf "$work"' EXIT
cp build/test/TalvorenDownloader.exe "$work/"

echo "== paint cost per frame (median of 80)"
"$WINE" "$bench/paint_bench.exe"

echo "== start-up (median of 7, alternated)"
"$WINE" "$bench/startup_bench.exe" "$(winepath_of "$work/TalvorenDownloader.exe")" \
  "$(winepath_of "$bench/minimal_window.exe")"

cpu_ticks() {  # user + system clock ticks of one process
  awk '{print $14 + $15}' "/proc/$1/stat"
}
cpu_share() {  # percent of one core over $2 seconds
  local before after
  before=$(cpu_ticks "$1")
  sleep "$2"
  after=$(cpu_ticks "$1")
  echo "scale=2; 100 * ($after - $before) / $(getconf CLK_TCK) / $2" | bc
}

echo "== CPU of the window (10 s each)"
"$WINE" "$work/TalvorenDownloader.exe" >/dev/null 2>&1 &
app=$!
"$WINE" build/test/tests/window_probe.exe wait-window 15000
sleep 3
echo "visible, idle: $(cpu_share "$app" 10)% of one core"
"$WINE" build/test/tests/window_probe.exe minimize
sleep 1
echo "minimised:     $(cpu_share "$app" 10)% of one core"
"$WINE" build/test/tests/window_probe.exe close
wait "$app" || true

echo "== release exe: $(stat -c %s build/release/TalvorenDownloader.exe) bytes"
