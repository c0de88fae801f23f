# Sourced: starts the pieces a Wine test session needs and stops them on
# exit. Call start_test_session from a script that has built the test preset.
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

session_pids=()
started_wineserver=0

stop_test_session() {
  local pid
  for pid in "${session_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  if ((started_wineserver)); then
    "$WINESERVER" -k 2>/dev/null || true
  fi
  for pid in "${session_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}

start_display() {
  [[ -n ${DISPLAY:-} ]] && return 0
  local number=$((90 + RANDOM % 100))
  Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  session_pids+=($!)
  export DISPLAY=":$number"
  local i
  for i in $(seq 50); do
    [[ -e /tmp/.X11-unix/X$number ]] && return 0
    sleep 0.1
  done
  echo "Xvfb did not start on $DISPLAY" >&2
  return 1
}

start_test_session() {
  trap stop_test_session EXIT
  tools/wine-prefix.sh
  start_display
  # A persistent server: without it every Wine start waits for one to spin up.
  # One left from an earlier session would still hold an old display.
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w
  "$WINESERVER" -p
  started_wineserver=1
  "$WINE" wineboot >/dev/null 2>&1
  tools/make-cert.sh build/certs localhost >/dev/null
  if [[ ! -f $WINEPREFIX/.talvoren-trusts-test-ca ]]; then
    "$WINE" build/test/tests/trust_cert.exe "$(winepath_of build/certs/ca.der)"
    touch "$WINEPREFIX/.talvoren-trusts-test-ca"
  fi
  export TALVOREN_TEST_CERTS="$repo_root/build/certs"
  export TALVOREN_BUILD="$repo_root/build/test"
  export TALVOREN_RELEASE_EXE="$repo_root/build/release/TalvorenDownloader.exe"
  mkdir -p build/test/screenshots
  TALVOREN_SCREENSHOTS="$(winepath_of build/test/screenshots)"
  export TALVOREN_SCREENSHOTS
}

winepath_of() {
  local absolute
  absolute="$(realpath "$1")"
  echo "Z:${absolute//\//\\}"
}
