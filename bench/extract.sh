#!/usr/bin/env bash
# Extraction benchmark: the installer's TUnzip under Wine against Info-ZIP
# unzip run natively on the same archive, in alternating pairs
# (bench/pairs.py: per-pair ratios, then median, min and max).
#
# Each side is timed as a user sees it, from process start to exit, Wine's
# start included; the Wine prefix and its server are up before any timing.
# The large sample gives every file a folder of its own; a second one puts
# 50 files in each folder. Printed beside that: the extraction's own seconds
# as the program measures them, the floor (bench/floor_bench.cpp: the same files, sizes and time
# stamps created under Wine with nothing read or inflated) against the same
# baseline, and the peak memory of a small and the large archive (it must
# not grow with the archive).
#
#   bash bench/extract.sh [--dir FOLDER] [--pairs N] [--files N] [--mb N]
#     --dir    work folder for the archive and both outputs (default: the
#              build folder's disk); /dev/shm/... takes the disk's noise out
#     --pairs  alternating pairs (default 5), --files/--mb the archive's size
#              (default 10000 files, 500 MB)
#   KAVIMOR_BUILD_DIR  build tree (default <repo>/build). A copied build
#              folder works: nothing is rebuilt when its programs are there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${KAVIMOR_BUILD_DIR:-$root/build}")
pairs=5 files=10000 megabytes=500 dir=
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --mb) megabytes=$2; shift 2 ;;
    *) echo "usage: $0 [--dir FOLDER] [--pairs N] [--files N] [--mb N]" >&2; exit 2 ;;
  esac
done

bin=$build/win/bin
if [ ! -x "$bin/extract_bench.exe" ] || [ ! -x "$bin/floor_bench.exe" ]; then
  cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/win" -j2 --target extract_bench floor_bench >/dev/null
fi

work=$(realpath -m "${dir:-$build/bench-extract}")/kavimor-extract.$$
mkdir -p "$work"
. "$root/scripts/wine-env.sh"
trap 'kavimor_env_stop; rm -rf "$work"' EXIT
kavimor_env_start "$build/win" >/dev/null 2>&1
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# On tmpfs the goal is 0.9 of unzip; on a disk, where both wait for the
# same device, it is 1.0.
goal=1.0
[ "$(stat -f -c %T "$work")" = tmpfs ] && goal=0.9
threads=$(nproc)
[ "$threads" -lt 2 ] && threads=2
[ "$threads" -gt 4 ] && threads=4

# One untimed run of each side (the first Wine start pays for loading).
warm() {
  local zip=$1
  LC_ALL=zh_CN.UTF-8 wine "$bin/extract_bench.exe" "$(winpath "$zip")" "$(winpath "$work/warm")" \
    </dev/null >/dev/null 2>&1
  rm -rf "$work/warm"
}

run_case() {
  local label=$1 count=$2 mb=$3 per_folder=${4:-}
  local zip=$work/$label.zip ours=$work/$label-ours base=$work/$label-unzip
  python3 "$root/bench/make_package.py" "$zip" "$count" "$mb" $per_folder
  echo "[$label] $count files in $(unzip -Z1 "$zip" | sed 's#/[^/]*$##' | sort -u | wc -l) folders," \
    "$(du -m "$zip" | cut -f1) MB archive in $(dirname "$work") ($(stat -f -c %T "$work"))"
  warm "$zip"
  : >"$work/phases"
  python3 "$root/bench/pairs.py" --pairs "$pairs" --goal "$goal" \
    --before "rm -rf '$ours' '$base'; sync" \
    --name-a "TUnzip (Wine)" \
    --cmd-a "LC_ALL=zh_CN.UTF-8 wine '$bin/extract_bench.exe' '$(winpath "$zip")' '$(winpath "$ours")' \
             </dev/null >'$work/out' 2>/dev/null && tr -d '\r' <'$work/out' >>'$work/phases' &&
             grep -q '^result=ok' '$work/out' && [ \$(find '$ours' -type f | wc -l) -eq $count ]" \
    --name-b "unzip (native)" --cmd-b "unzip -q -o '$zip' -d '$base'"
  python3 - "$work/phases" <<'PY'
import re, statistics, sys
text = open(sys.argv[1]).read()
own = [float(x) for x in re.findall(r"extraction_seconds=([0-9.]+)", text)]
private = [int(x) for x in re.findall(r"peak_private_kb=([0-9]+)", text)]
print("  TUnzip's own extraction time: median %.3f s (min %.3f, max %.3f); peak private memory %.1f MiB"
      % (statistics.median(own), min(own), max(own), max(private) / 1024))
PY
  if [ "$label" != small ]; then
    : >"$work/phases"
    python3 "$root/bench/pairs.py" --pairs "$pairs" --goal "$goal" \
      --before "rm -rf '$ours' '$base'; sync" \
      --name-a "floor ($threads threads, Wine)" \
      --cmd-a "LC_ALL=zh_CN.UTF-8 wine '$bin/floor_bench.exe' '$(winpath "$zip")' '$(winpath "$ours")' $threads \
               </dev/null >'$work/out' 2>/dev/null && tr -d '\r' <'$work/out' >>'$work/phases'" \
      --name-b "unzip (native)" --cmd-b "unzip -q -o '$zip' -d '$base'"
  fi
  rm -rf "$ours" "$base" "$zip"
}

run_case small $((files / 10)) $((megabytes / 10))
run_case large "$files" "$megabytes"
# The same files, 50 to a folder: what extraction costs where folders are
# shared, as in most installed programs.
run_case shared "$files" "$megabytes" 50
