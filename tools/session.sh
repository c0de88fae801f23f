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

# Xvfb takes the first free display and writes its number to the pipe once
# it accepts clients; it closes the pipe unwritten when it cannot start.
start_display() {
  [[ -n ${DISPLAY:-} ]] && return 0
  local folder number=""
  folder=$(mktemp -d)
  mkfifo "$folder/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
    3>"$folder/display" >"$folder/xvfb.log" 2>&1 &
  session_pids+=($!)
  read -r -t 30 number <"$folder/display" || true
  if [[ ! $number =~ ^[0-9]+$ ]]; then
    echo "Xvfb did not start:" >&2
    cat "$folder/xvfb.log" >&2
    rm -rf "$folder"
    return 1
  fi
  rm -rf "$folder"
  export DISPLAY=":$number"
}

start_test_session() {
  trap stop_test_session EXIT
  tools/wine-prefix.sh
  start_display || return 1
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
