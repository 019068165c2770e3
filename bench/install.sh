#!/usr/bin/env bash
# One full headless installation of a generated package set (about 300 MB in
# four packages, KAVIMOR_BENCH_MB to change it) over loopback under Wine,
# beside a baseline in the same run: the same five objects fetched with curl
# and unpacked with Info-ZIP unzip natively, in the installer's order, into a
# folder. Prints both times, their ratio and the installer's peak memory.
#
#   KAVIMOR_BUILD_DIR=<build> bash bench/install.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVIMOR_BUILD_DIR:-$root/build}
size_mb=${KAVIMOR_BENCH_MB:-300}

cmake --build "$build/win" --target headless_install stand_in_client -j2 >/dev/null

work=$(mktemp -d /tmp/kavimor_bench.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  if declare -F kavimor_env_stop >/dev/null; then kavimor_env_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "bench: generating ${size_mb} MB of packages"
python3 "$root/tools/make_packages.py" --out "$work/bucket" --tree-file "$work/tree.txt" \
  --client-exe "$build/win/bin/kavimor v9.5.exe" --total-mb "$size_mb"
du -sh "$work/bucket/9.5KavimorIE"

cache="$build/win/CMakeCache.txt"
value() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
bucket=$(value KAVIMOR_OSS_BUCKET)
key_id=$(value KAVIMOR_OSS_KEY_ID)
secret=$(value KAVIMOR_OSS_KEY_SECRET)

python3 "$root/tools/oss_server.py" --root "$work/bucket" --cmake-cache "$cache" \
  --port-file "$work/port" --idle-exit 900 </dev/null >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

keys=(9.5KavimorIE/summary.ini 9.5KavimorIE/base.zip 9.5KavimorIE/config.zip
      9.5KavimorIE/fix/9.5.9.1.zip 9.5KavimorIE/quant/1.2.0.zip)

# One signed GET of an object into a file.
fetch() {
  local key=$1 out=$2 date sig
  date=$(LC_ALL=C date -u '+%a, %d %b %Y %H:%M:%S GMT')
  sig=$(printf 'GET\n\n\n%s\n/%s/%s' "$date" "$bucket" "$key" |
        openssl dgst -sha1 -hmac "$secret" -binary | base64)
  curl -sSf -o "$out" -H "Date: $date" -H "Authorization: OSS $key_id:$sig" \
    "http://127.0.0.1:$port/$bucket/$key"
}

# The server works out each object's CRC-64 (in Python) on its first
# request and keeps it; one untimed pass first, so that neither side pays it.
echo "bench: warming the server up"
for key in "${keys[@]}"; do fetch "$key" /dev/null; done

# Baseline: signed GETs with curl, then unzip in the installer's order.
baseline() {
  local dest=$work/baseline
  mkdir -p "$dest/downloads" "$dest/tree"
  for key in "${keys[@]}"; do fetch "$key" "$dest/downloads/$(basename "$key")"; done
  for zip in base.zip 9.5.9.1.zip config.zip 1.2.0.zip; do
    unzip -q -o "$dest/downloads/$zip" -d "$dest/tree"
  done
}

now() { date +%s.%N; }
echo "bench: baseline (curl + unzip, native)"
t0=$(now); baseline; t1=$(now)
baseline_s=$(echo "$t1 - $t0" | bc -l)

. "$root/scripts/wine-env.sh"
kavimor_env_start "$build/win" >/dev/null 2>&1
mkdir -p "$work/profile"
echo "bench: installer (headless, under Wine)"
t0=$(now)
LC_ALL=zh_CN.UTF-8 wine "$build/win/bin/headless_install.exe" "http://127.0.0.1:$port" \
  "Z:${work//\//\\}\\profile" </dev/null >"$work/installer.out" 2>/dev/null || true
t1=$(now)
installer_s=$(echo "$t1 - $t0" | bc -l)
tr -d '\r' <"$work/installer.out" | grep -E '^(result|seconds)' || true
grep -q '^result done' "$work/installer.out" || { echo "bench: installation did not finish" >&2; exit 1; }

installed=$(find "$work/profile/Kavimor201805v9.5" -type f | wc -l)
echo "bench: installed files $installed, baseline files $(find "$work/baseline/tree" -type f | wc -l)"
printf 'baseline_seconds %.3f\n' "$baseline_s"
printf 'installer_seconds %.3f\n' "$installer_s"
printf 'ratio_installer_over_baseline %.2f\n' "$(echo "$installer_s / $baseline_s" | bc -l)"
tr -d '\r' <"$work/installer.out" | grep '^peak_'
