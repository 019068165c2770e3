#!/usr/bin/env bash
# Download benchmark: one 1 GiB object from the local object-store server,
# fetched through the installer's object-store layer under Wine and, in the
# same run and from the same server, by curl. Prints MB/s for both, their
# ratio and the layer's peak memory. Goal: ratio >= 0.8, peak private
# memory < 32 MiB.
#   KAVIMOR_BUILD_DIR=<worktree>/build bash bench/download.sh [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVIMOR_BUILD_DIR:-$root/build}/win
runs=${1:-3}

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target download_bench -j2 >/dev/null

work=$(mktemp -d "$build/bench_download.XXXXXX")
. "$root/scripts/wine-env.sh"
cleanup() {
  touch "$work/control/stop" 2>/dev/null || true
  kavimor_env_stop
  sleep 0.5
  rm -rf "$work"
}
trap cleanup EXIT

bucket=kavimor-bench
id=LTAI5tBenchKeyId00000001
secret=BenchSecret0123456789abcdefghij
key=packages/large.zip
mkdir -p "$work/bucket/packages" "$work/control"
# 1 GiB: one random MiB over and over (the server's CRC cache then needs a
# single pure-Python pass; the transfer itself cannot tell).
python3 - "$work/bucket/$key" <<'PY'
import os, sys
block = os.urandom(1 << 20)
with open(sys.argv[1], 'wb') as f:
    for _ in range(1024):
        f.write(block)
PY
size=$(stat -c %s "$work/bucket/$key")

python3 "$root/tools/oss_server.py" --root "$work/bucket" --bucket $bucket --key-id $id \
  --key-secret $secret --port-file "$work/port" --control-dir "$work/control" \
  --log-file "$work/server.log" --idle-exit 300 &
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

curl_get() {  # signed GET into $1; prints the seconds curl took
  local date sig
  date=$(LC_ALL=C date -u "+%a, %d %b %Y %H:%M:%S GMT")
  sig=$(printf "GET\n\n\n%s\n/%s/%s" "$date" $bucket $key | openssl dgst -sha1 -hmac $secret -binary | base64)
  curl -sf -o "$1" -H "Date: $date" -H "Authorization: OSS $id:$sig" -H "Content-Type:" \
    -w "%{time_total}" "http://127.0.0.1:$port/$bucket/packages%2Flarge.zip"
}

kavimor_env_start "$build" >/dev/null 2>&1
# Warm-up: the server computes and caches the CRC, the file enters the cache.
curl_get "$work/warm.bin" >/dev/null
rm -f "$work/warm.bin"

best_layer=999999 best_curl=999999 peak_private=0 peak_ws=0
for run in $(seq "$runs"); do
  out=$(wine "$build/bin/download_bench.exe" "127.0.0.1:$port" $bucket $key $id $secret \
        "$(echo "Z:$work/layer.bin" | tr / '\\')" </dev/null 2>/dev/null | tr -d '\r')
  secs=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$out")
  [ -n "$secs" ] || { echo "layer download failed: $out" >&2; exit 1; }
  cmp -s "$work/layer.bin" "$work/bucket/$key" || { echo "layer download differs" >&2; exit 1; }
  priv=$(sed -n 's/.*peak_private_kib=\([0-9]*\).*/\1/p' <<<"$out")
  ws=$(sed -n 's/.*peak_working_set_kib=\([0-9]*\).*/\1/p' <<<"$out")
  rm -f "$work/layer.bin"
  csecs=$(curl_get "$work/curl.bin")
  rm -f "$work/curl.bin"
  echo "run $run: layer ${secs}s, curl ${csecs}s, layer peak private ${priv} KiB, working set ${ws} KiB"
  best_layer=$(python3 -c "print(min($best_layer, $secs))")
  best_curl=$(python3 -c "print(min($best_curl, $csecs))")
  [ "$priv" -gt "$peak_private" ] && peak_private=$priv
  [ "$ws" -gt "$peak_ws" ] && peak_ws=$ws
done

python3 - "$size" "$best_layer" "$best_curl" "$peak_private" "$peak_ws" <<'PY'
import sys
size, layer, curl, priv, ws = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
lm, cm = size / 1e6 / layer, size / 1e6 / curl
print("object: %d bytes (1 GiB), best of the runs" % size)
print("layer (Wine): %.1f MB/s" % lm)
print("curl (native, baseline): %.1f MB/s" % cm)
print("ratio layer/curl: %.2f (goal >= 0.80)" % (lm / cm))
print("layer peak private memory: %.1f MiB (goal < 32 MiB); peak working set incl. Wine: %.1f MiB"
      % (priv / 1024, ws / 1024))
PY
