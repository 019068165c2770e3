#!/usr/bin/env bash
# Download benchmark: one large object from the local object-store server,
# fetched through the installer's object-store layer under Wine and by curl
# writing to a file, from the same server, in alternating pairs
# (bench/pairs.py). Prints the median ratio with min and max per mode, the
# layer's peak private memory, and with --stages what each part costs alone.
# Goals: ratio >= 0.9 over http://, >= 0.8 over https:// (curl --cacert),
# peak private memory < 16 MiB.
#
#   bash bench/download.sh [--pairs 5] [--mode http|https|both] [--size MiB]
#                          [--dir /dev/shm] [--build BUILD/win] [--stages]
#
# --dir is where the object, the downloads and the server's files go (a
# memory file system takes the disk out of both sides); --build is a build
# folder, also one copied elsewhere: it is only built here when it has no
# download_bench.exe yet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pairs=5 mode=both size=1024 dir="" build="${KAVIMOR_BUILD_DIR:-$root/build}/win" stages=0
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --stages) stages=1; shift ;;
    *) echo "unknown option $1 (see the head of $0)" >&2; exit 2 ;;
  esac
done
build=$(cd "$build" && pwd)
bench="$build/bin/download_bench.exe"
if [ ! -f "$bench" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target download_bench -j2 >/dev/null
fi

mkdir -p "${dir:-$build}"
work=$(mktemp -d "$(cd "${dir:-$build}" && pwd)/bench_download.XXXXXX")
. "$root/scripts/wine-env.sh"
cleanup() {
  for control in "$work"/control_*; do touch "$control/stop" 2>/dev/null || true; done
  kavimor_env_stop
  sleep 0.5
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { echo "Z:$1" | tr / '\\'; }

export bucket=kavimor-bench id=LTAI5tBenchKeyId00000001 secret=BenchSecret0123456789abcdefghij
export key=packages/large.zip work
mkdir -p "$work/bucket/packages"
# One random MiB over and over (the server's CRC cache then needs a single
# pure-Python pass; the transfer itself cannot tell).
python3 - "$work/bucket/$key" "$size" <<'PY'
import os, sys
block = os.urandom(1 << 20)
with open(sys.argv[1], 'wb') as f:
    for _ in range(int(sys.argv[2])):
        f.write(block)
PY
bytes=$(stat -c %s "$work/bucket/$key")

# A throw-away authority and server certificate for the https mode.
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -keyout "$work/ca.key" \
  -out "$work/ca.pem" -subj "/CN=Kavimor bench CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign" >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -keyout "$work/server.key" -out "$work/server.csr" \
  -subj "/CN=127.0.0.1" >/dev/null 2>&1
printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:127.0.0.1\n' \
  >"$work/server.ext"
openssl x509 -req -sha256 -days 2 -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -set_serial 7 -extfile "$work/server.ext" -out "$work/server.pem" >/dev/null 2>&1

serve() {  # serve <scheme>: starts the server, sets $port
  local control="$work/control_$1" tls=()
  mkdir -p "$control"
  [ "$1" = https ] && tls=(--tls-cert "$work/server.pem" --tls-key "$work/server.key")
  python3 "$root/tools/oss_server.py" --root "$work/bucket" --bucket $bucket --key-id $id \
    --key-secret $secret --port-file "$control/port" --control-dir "$control" \
    --log-file "$control/server.log" --idle-exit 600 "${tls[@]}" &
  for _ in $(seq 100); do [ -s "$control/port" ] && break; sleep 0.1; done
  port=$(cat "$control/port")
}

curl_get() {  # curl_get <scheme> <port> <out>: a signed GET; prints seconds=
  local date sig ca=()
  date=$(LC_ALL=C date -u "+%a, %d %b %Y %H:%M:%S GMT")
  sig=$(printf "GET\n\n\n%s\n/%s/%s" "$date" $bucket $key | openssl dgst -sha1 -hmac $secret -binary | base64)
  [ "$1" = https ] && ca=(--cacert "$work/ca.pem")
  curl -sf "${ca[@]}" -o "$3" -H "Date: $date" -H "Authorization: OSS $id:$sig" -H "Content-Type:" \
    -w "seconds=%{time_total}\n" "$1://127.0.0.1:$2/$bucket/packages%2Flarge.zip"
}
export -f curl_get

kavimor_env_start "$build" >/dev/null 2>&1
echo "object: $bytes bytes; work folder $work; $pairs pairs per mode"
modes=(http https)
[ "$mode" != both ] && modes=("$mode")
for scheme in "${modes[@]}"; do
  serve "$scheme"
  ca=() ca_arg="" baseline="curl (native, baseline)" goal=0.9
  if [ "$scheme" = https ]; then
    ca=("$(winpath "$work/ca.pem")") ca_arg="'${ca[0]}'" baseline="curl --cacert (native, baseline)" goal=0.8
  fi
  # Warm-up: the server computes and caches the CRC, the file enters the
  # page cache, the prefix learns the authority.
  curl_get "$scheme" "$port" /dev/null >/dev/null
  wine "$bench" get "$scheme://127.0.0.1:$port" $bucket $key $id $secret - "${ca[@]}" \
    </dev/null >/dev/null 2>&1
  layer_cmd="wine '$bench' get '$scheme://127.0.0.1:$port' $bucket $key $id $secret '$(winpath "$work/layer.bin")' $ca_arg </dev/null 2>/dev/null | tr -d '\r' | tee -a '$work/layer_$scheme.txt'"
  echo "== $scheme"
  python3 "$root/bench/pairs.py" --pairs "$pairs" --goal $goal \
    --name-a "layer (Wine)" --cmd-a "$layer_cmd" \
    --name-b "$baseline" --cmd-b "curl_get $scheme $port '$work/curl.bin'" \
    --before "rm -f '$work/layer.bin' '$work/curl.bin'"
  eval "$layer_cmd" >/dev/null
  cmp -s "$work/layer.bin" "$work/bucket/$key" || { echo "the layer's download differs" >&2; exit 1; }
  peak=$(sed -n 's/.*peak_private_kib=\([0-9]*\).*/\1/p' "$work/layer_$scheme.txt" | sort -n | tail -n 1)
  echo "layer peak private memory over $scheme: $((peak / 1024)) MiB ($peak KiB; goal < 16 MiB)"

  if [ "$stages" = 1 ]; then
    mbps() { python3 -c "import sys; print('%.0f MB/s' % ($bytes / 1e6 / float(sys.argv[1])))" "$1"; }
    secs() { sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' | tail -n 1; }
    echo "stages over $scheme:"
    echo "  curl into nothing:           $(mbps "$(curl_get "$scheme" "$port" /dev/null | secs)")"
    echo "  layer receive + CRC-64 only: $(mbps "$(wine "$bench" get "$scheme://127.0.0.1:$port" $bucket \
      $key $id $secret - "${ca[@]}" </dev/null 2>/dev/null | tr -d '\r' | secs)")"
  fi
done
if [ "$stages" = 1 ]; then
  echo "stages without the network:"
  echo "  CRC-64 in memory:            $(python3 -c "import sys; print('%.0f MB/s' % ($bytes / 1e6 / float(sys.argv[1])))" \
    "$(wine "$bench" crc "$size" </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')")"
  echo "  layer's file writes (Wine):  $(python3 -c "import sys; print('%.0f MB/s' % ($bytes / 1e6 / float(sys.argv[1])))" \
    "$(wine "$bench" write "$(winpath "$work/write.bin")" "$size" </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')")"
  rm -f "$work/write.bin"
fi
