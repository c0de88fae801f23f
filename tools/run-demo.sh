#!/usr/bin/env bash
# The downloader doing its whole job against the repo's loopback distribution
# server: builds the test preset, serves a generated package of a few hundred
# MB over HTTPS on 127.0.0.1:8443 at a pace that keeps the progress on screen
# for about half a minute, and runs a fresh copy of the downloader.
#
# With a display of your own (DISPLAY set) you answer the box and close the
# window yourself. Without one it runs under Xvfb, presses Yes itself and
# saves screenshots to build/demo/. Either way it ends by saying where the
# package landed and comparing it with the served bytes.
set -euo pipefail
cd "$(dirname "$0")/.."

package_size=$((300 * 1048576))
watch_seconds=30
demo=build/demo
package_name=TalvorenSetup-1.0.zip

tools/install-deps.sh
cmake --preset test >/dev/null
cmake --build --preset test

user_display=${DISPLAY:-}
source tools/session.sh
start_test_session

rm -rf "$demo"
mkdir -p "$demo/root/clients" "$demo/root/packages" "$demo/app"
python3 tests/support/dist_server.py --write-pattern "$package_size" "$demo/root/packages/$package_name"
echo "https://localhost:8443/packages/$package_name" >"$demo/root/clients/version.txt"
cp build/test/TalvorenDownloader.exe "$demo/app/"

python3 tests/support/dist_server.py --host 127.0.0.1 --port 8443 --root "$demo/root" \
  --cert build/certs/server-chain.pem --key build/certs/server.key \
  --rate $((package_size / watch_seconds)) --log "$demo/requests.log" \
  --ready-file "$demo/server.ready" 2>"$demo/server.err" &
session_pids+=($!)
for _ in $(seq 100); do
  [[ -f $demo/server.ready ]] && break
  sleep 0.1
done
[[ -f $demo/server.ready ]] || { echo "the demo server did not start; see $demo/server.err" >&2; exit 1; }

probe() { "$WINE" build/test/tests/window_probe.exe "$@" 2>/dev/null; }
screenshot() { import -display "$DISPLAY" -window root -crop 1024x768+0+0 +repage "$demo/$1.png"; }

echo "Starting $demo/app/TalvorenDownloader.exe"
"$WINE" "$(winepath_of "$demo/app/TalvorenDownloader.exe")" >"$demo/downloader.log" 2>&1 &
downloader=$!
package="$demo/app/$package_name"

if [[ -n $user_display ]]; then
  echo "Answer the box in the window; close the window when it is done."
  wait "$downloader" || true
else
  probe wait-box 下载确认 30000 >/dev/null
  screenshot 1-confirm
  probe press-box 下载确认 yes 5000 >/dev/null
  shot=2
  while [[ ! -f $package || $(stat -c %s "$package") -lt $package_size ]]; do
    if probe no-box 下载失败 0 >/dev/null; then
      sleep 5
      screenshot "$shot-progress"
      shot=$((shot + 1))
    else
      screenshot "$shot-failed"
      echo "The download failed: $(probe wait-box 下载失败 0)" >&2
      exit 1
    fi
  done
  sleep 1
  screenshot "$shot-completed"
  probe close >/dev/null
  wait "$downloader"
  echo "Screenshots: $(ls "$demo"/*.png | tr '\n' ' ')"
fi

if [[ ! -f $package ]]; then
  echo "No package in $demo/app: the download did not complete." >&2
  exit 1
fi
echo "The package landed in $(realpath "$package")"
cmp "$package" "$demo/root/packages/$package_name"
echo "It matches the served bytes ($package_size bytes)."
