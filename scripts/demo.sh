#!/usr/bin/env bash
# The installer as a user meets it. Sets up what is missing, builds, generates
# the sample package set and publishes it into the local object-store server
# (tools/oss_server.py, on the endpoint the program was built for), then runs
# the installer under Wine.
#
# With a display (DISPLAY set and reachable) the installer window is yours:
# press Install, then Open. Without one (or with KAVIMOR_HEADLESS=1) it runs
# inside Xvfb: the driver presses Install and Open itself, saves a screenshot
# of each look and prints where the client was installed, its log and what
# was registered.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVIMOR_BUILD_DIR:-$root/build}
demo="$build/demo"

bash "$root/scripts/setup.sh"
# Headless, the whole run stays inside a private network namespace, so it
# does not meet a test run on the same port; an interactive run keeps the
# machine's network for its display.
if [ -n "${KAVIMOR_HEADLESS:-}" ] || [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  . "$root/scripts/netns.sh"
  kavimor_enter_netns "$0" "$@"
fi
# The demo publishes as a publisher does: a release key pair (throw-away,
# made once and kept in the build folder), a signed package set, and an
# installer built with the public key in a build folder of its own, so the
# test build stays without one.
keys="$build/demo-key"
if [ ! -f "$keys/release.pub.pem" ]; then
  mkdir -p "$keys"
  rm -f "$keys/release.key.pem"
  python3 "$root/tools/publish.py" keygen --private-key "$keys/release.key.pem" --public-key "$keys/release.pub.pem"
fi
win="$build/demo-win"
cmake -S "$root" -B "$win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKAVIMOR_RELEASE_PUBLIC_KEY="$keys/release.pub.pem" >/dev/null
cmake --build "$win" -j "$(nproc)" --target kavimor_installer stand_in_client installer_program_tests

echo "demo: generating the package set"
rm -rf "$demo"
mkdir -p "$demo/control" "$demo/screenshots"
python3 "$root/tools/make_packages.py" --out "$demo/bucket" --client-exe "$win/bin/kavimor v9.5.exe"
echo "demo: signing it"
# The package set is made anew on every run while the demo's Wine prefix
# remembers the serial it installed last: the time makes a serial that
# only grows.
python3 "$root/tools/publish.py" publish --root "$demo/bucket" --private-key "$keys/release.key.pem" \
  --serial "$(date +%s)"

endpoint=$(sed -n 's/^KAVIMOR_OSS_ENDPOINT:STRING=//p' "$win/CMakeCache.txt")
port=${endpoint##*:}
echo "demo: publishing it on $endpoint"
python3 "$root/tools/oss_server.py" --root "$demo/bucket" --cmake-cache "$win/CMakeCache.txt" \
  --port "$port" --port-file "$demo/port" --control-dir "$demo/control" \
  --log-file "$demo/server.log" --idle-exit 1800 &
server_pid=$!

. "$root/scripts/wine-env.sh"
finish() {
  touch "$demo/control/stop"
  sleep 0.5
  kill "$server_pid" >/dev/null 2>&1 || true
  kavimor_env_stop
}
trap finish EXIT
for _ in $(seq 1 100); do [ -s "$demo/port" ] && break; sleep 0.1; done
[ -s "$demo/port" ] || { echo "demo: the object-store server did not start (see $demo/server.log)" >&2; exit 1; }

if [ -z "${KAVIMOR_HEADLESS:-}" ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  export KAVIMOR_KEEP_DISPLAY=1
  kavimor_env_start "$win"
  echo "demo: the installer is on your display; press Install, then Open"
  LC_ALL=${KAVIMOR_LOCALE:-zh_CN.UTF-8} wine "$win/bin/kavimor_installer.exe" </dev/null || true
  local_appdata="$WINEPREFIX/drive_c/users/$(whoami)/AppData/Local"
  echo "installed into: $local_appdata/Kavimor201805v9.5"
  echo "install log:    $(ls "$local_appdata/Kavimor201805v9.5/kavimorlog/"*install.log 2>/dev/null | tail -n 1)"
else
  kavimor_env_start "$win"
  shots=$(winepath -w "$demo/screenshots" 2>/dev/null)
  LC_ALL=${KAVIMOR_LOCALE:-zh_CN.UTF-8} wine "$win/bin/installer_program_tests.exe" --demo "$shots" </dev/null
  echo "(as Linux paths: $WINEPREFIX/drive_c/users/$(whoami)/AppData/Local/Kavimor201805v9.5"
  echo " and the screenshots in $demo/screenshots)"
fi

# The installer took only what the release index signed with the demo key
# lists; its log says so.
log=$(ls "$WINEPREFIX/drive_c/users/$(whoami)/AppData/Local/Kavimor201805v9.5/kavimorlog/"*install.log 2>/dev/null | tail -n 1)
verified=$(grep -a -o 'Release index verified,objects:[0-9]*,serial:[0-9]*' "${log:-/dev/null}" || true)
if [ -n "$verified" ]; then
  echo "signed release:   $verified (key $keys/release.pub.pem)"
else
  echo "demo: the install log shows no verified release index" >&2
  [ -n "${KAVIMOR_KEEP_DISPLAY:-}" ] || exit 1
fi
