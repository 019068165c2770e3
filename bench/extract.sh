#!/usr/bin/env bash
# Extraction benchmark: the installer's TUnzip under Wine against Info-ZIP
# unzip run natively on the same archive, in the same run. Prints files/s,
# MB/s and peak memory of both and the throughput ratio. A smaller archive is
# extracted too, to show that peak memory does not grow with the archive.
#   KAVIMOR_BUILD_DIR  build tree (default: <repo>/build); built if needed
#   BENCH_FILES, BENCH_MB  size of the large archive (default 10000, 500)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVIMOR_BUILD_DIR:-$root/build}
files=${BENCH_FILES:-10000}
megabytes=${BENCH_MB:-500}

cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/win" -j2 --target extract_bench >/dev/null
cmake -S "$root/tests/native" -B "$build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/native" -j2 >/dev/null

work="$build/bench-extract"
rm -rf "$work"
mkdir -p "$work"
. "$root/scripts/wine-env.sh"
trap 'kavimor_env_stop; rm -rf "$work"' EXIT
kavimor_env_start "$build/win" >/dev/null 2>&1

now() { date +%s.%N; }

run_case() {
  local label=$1 count=$2 mb=$3
  local zip="$work/$label.zip"
  python3 "$root/bench/make_package.py" "$zip" "$count" "$mb"
  local bytes
  bytes=$(python3 -c "import zipfile,sys; print(sum(i.file_size for i in zipfile.ZipFile(sys.argv[1]).infolist()))" "$zip")
  sync

  # Native Info-ZIP unzip: wall time and peak resident set.
  local t0 t1 unzip_s unzip_kb
  t0=$(now)
  /usr/bin/time -f "%M" -o "$work/unzip.mem" unzip -q -o "$zip" -d "$work/$label-unzip"
  t1=$(now)
  unzip_s=$(echo "$t1 - $t0" | bc -l)
  unzip_kb=$(cat "$work/unzip.mem")
  rm -rf "$work/$label-unzip"
  sync

  # TUnzip under Wine: the program times the extraction itself and reports
  # its own peak memory (Wine's start-up is not counted).
  local line ours_s ours_kb ours_private_kb
  line=$(LC_ALL=zh_CN.UTF-8 wine "$build/win/bin/extract_bench.exe" "$(winepath -w "$zip" 2>/dev/null)" \
    "$(winepath -w "$work/$label-ours" 2>/dev/null)" </dev/null 2>/dev/null | tr -d '\r')
  case "$line" in result=ok*) ;; *) echo "extraction failed: $line" >&2; exit 1 ;; esac
  ours_s=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
  ours_kb=$(sed -n 's/.*peak_working_set_kb=\([0-9]*\).*/\1/p' <<<"$line")
  ours_private_kb=$(sed -n 's/.*peak_private_kb=\([0-9]*\).*/\1/p' <<<"$line")
  local written
  written=$(find "$work/$label-ours" -type f | wc -l)
  rm -rf "$work/$label-ours"
  [ "$written" -eq "$count" ] || { echo "expected $count files, found $written" >&2; exit 1; }

  # The reader alone, natively, against the system's minizip: every entry
  # inflated and CRC-checked, nothing written.
  local own_read_s mz_read_s
  t0=$(now); echo "$zip" | "$build/native/zip_dump_own" | grep -q '^END ok'; t1=$(now)
  own_read_s=$(echo "$t1 - $t0" | bc -l)
  t0=$(now); echo "$zip" | "$build/native/zip_dump_minizip" | grep -q '^END ok'; t1=$(now)
  mz_read_s=$(echo "$t1 - $t0" | bc -l)

  python3 - "$label" "$count" "$bytes" "$ours_s" "$ours_kb" "$ours_private_kb" "$unzip_s" "$unzip_kb" \
    "$own_read_s" "$mz_read_s" <<'PY'
import sys
label, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
ours_s, ours_kb, ours_priv = float(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
unzip_s, unzip_kb = float(sys.argv[7]), int(sys.argv[8])
mb = size / 1e6
print(f"[{label}] {count} files, {mb:.1f} MB")
print(f"  TUnzip (Wine):  {count / ours_s:8.0f} files/s {mb / ours_s:7.1f} MB/s  peak working set {ours_kb / 1024:.1f} MiB, peak private {ours_priv / 1024:.1f} MiB")
print(f"  unzip (native): {count / unzip_s:8.0f} files/s {mb / unzip_s:7.1f} MB/s  peak RSS {unzip_kb / 1024:.1f} MiB")
print(f"  ratio TUnzip/unzip (throughput): {unzip_s / ours_s:.2f}")
own_read, mz_read = float(sys.argv[9]), float(sys.argv[10])
print(f"  reader only, native: ours {mb / own_read:.1f} MB/s, minizip {mb / mz_read:.1f} MB/s, ratio {mz_read / own_read:.2f}")
PY
}

run_case small $((files / 10)) $((megabytes / 10))
run_case large "$files" "$megabytes"
