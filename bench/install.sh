#!/usr/bin/env bash
# Full-install benchmark: one headless installation of a generated package
# set (about 300 MB in four packages) over loopback under Wine, against the
# baseline of the same five objects fetched with curl and unpacked natively
# with Info-ZIP unzip, in the installer's order, into a folder. The two run
# in alternating pairs (bench/pairs.py: per-pair ratios, median, min, max).
#
# The installer is timed as a user sees it: process start to exit, Wine's
# start and the installer's fixed sleeps included (the Wine prefix and its
# server are up before any timing). Its own phases come from the install
# log's time stamps: start-up until the log opens, manifest, downloads,
# extractions, clean-up, and the hand-over of the staging folder (with the
# registrations after it) until the last install message.
#
#   bash bench/install.sh [--dir FOLDER] [--pairs N] [--mb N]
#     --dir    work folder for packages, install and baseline (default: the
#              build folder's disk); /dev/shm/... takes the disk's noise out
#     --pairs  alternating pairs (default 5); --mb  package set size (300)
#   KAVIMOR_BUILD_DIR  build tree (default <repo>/build). A copied build
#              folder works: nothing is rebuilt when its programs are there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${KAVIMOR_BUILD_DIR:-$root/build}")
pairs=5 size_mb=300 dir=
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --mb) size_mb=$2; shift 2 ;;
    *) echo "usage: $0 [--dir FOLDER] [--pairs N] [--mb N]" >&2; exit 2 ;;
  esac
done

. "$root/bench/installer_common.sh"
kavimor_bench_setup install "${dir:-$build/bench-install}"
mkdir -p "$work/logs"

echo "bench: generating ${size_mb} MB of packages in $(dirname "$work") ($(stat -f -c %T "$work"))"
python3 "$root/tools/make_packages.py" --out "$work/bucket" --tree-file "$work/tree.txt" \
  --client-exe "$bin/kavimor v9.5.exe" --total-mb "$size_mb"
du -sh "$work/bucket/9.5KavimorIE"

cache="$build/win/CMakeCache.txt"
value() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
bucket=$(value KAVIMOR_OSS_BUCKET)
key_id=$(value KAVIMOR_OSS_KEY_ID)
secret=$(value KAVIMOR_OSS_KEY_SECRET)

python3 "$root/tools/oss_server.py" --root "$work/bucket" --cmake-cache "$cache" \
  --port-file "$work/port" --idle-exit 900 </dev/null >/dev/null 2>&1 &
kavimor_bench_pids+=($!)
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

# Baseline: signed GETs with curl, then unzip in the installer's order.
baseline() {
  local dest=$work/baseline
  mkdir -p "$dest/downloads" "$dest/tree"
  for key in "${keys[@]}"; do fetch "$key" "$dest/downloads/$(basename "$key")"; done
  for zip in base.zip 9.5.9.1.zip config.zip 1.2.0.zip; do
    unzip -q -o "$dest/downloads/$zip" -d "$dest/tree"
  done
}
export -f fetch baseline
export work bucket key_id secret port
export keys_list="${keys[*]}"

# The server works out each object's CRC-64 (in Python) on its first
# request and keeps it; one untimed pass first, so that neither side pays it.
echo "bench: warming the server and Wine up"
for key in "${keys[@]}"; do fetch "$key" /dev/null; done
. "$root/scripts/wine-env.sh"
kavimor_env_start "$build/win" >/dev/null 2>&1
LC_ALL=zh_CN.UTF-8 wine cmd /c exit >/dev/null 2>&1 </dev/null || true

profile_win="Z:${work//\//\\}\\profile"
installer_cmd="date +%H:%M:%S.%N >'$work/started'
  LC_ALL=zh_CN.UTF-8 wine '$bin/headless_install.exe' http://127.0.0.1:$port '$profile_win' \
    </dev/null >'$work/installer.out' 2>/dev/null
  status=\$?; date +%H:%M:%S.%N >'$work/exited'
  n=\$(ls '$work/logs' | wc -l)
  { cat '$work/started' '$work/exited'; tr -d '\r' <'$work/installer.out'; } >\"$work/logs/\$n.run\"
  cp '$work/profile/Kavimor201805v9.5/kavimorlog/'*install.log \"$work/logs/\$n.log\"
  [ \$status -eq 0 ] && grep -q '^result done' '$work/installer.out' &&
    [ \$(find '$work/profile/Kavimor201805v9.5' -type f | wc -l) -ge \$(wc -l <'$work/tree.txt') ]"
baseline_cmd="keys=($keys_list); baseline"

python3 "$root/bench/pairs.py" --pairs "$pairs" --goal 1.0 \
  --before "rm -rf '$work/profile' '$work/baseline'; mkdir -p '$work/profile'; sync" \
  --name-a "installer (Wine)" --cmd-a "$installer_cmd" \
  --name-b "curl + unzip (native)" --cmd-b "$baseline_cmd"

# The installer's phases from its log, per run, then their medians.
python3 - "$work/logs" <<'PY'
import glob, os, re, statistics, sys

def seconds(stamp):
    h, m, s = stamp.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)

marks = {  # the log line that opens each phase
    "start": "用户点击安装，安装开始...",
    "download": "下载前端依赖库",
    "extract": "安装前端依赖库",
    "cleanup": "清理安装文件",
    "handover": "复制新版本数据到原目录",
}
rows = []
for run in sorted(glob.glob(os.path.join(sys.argv[1], "*.run"))):
    lines = open(run, encoding="latin-1").read().split("\n")
    started, exited = seconds(lines[0][:12]), seconds(lines[1][:12])
    finished = seconds(re.search(r"finished_at (\S+)", "\n".join(lines)).group(1))
    at = {}
    for line in open(run[:-4] + ".log", encoding="gbk", newline="").read().split("\r\n"):
        m = re.match(r"\[(\d\d):(\d\d):(\d\d) (\d\d\d)\]\t\t(.*)", line)
        if not m:
            continue
        for name, text in marks.items():
            if m.group(5) == text and name not in at:
                at[name] = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + int(m.group(3)) + int(m.group(4)) / 1000
    rows.append({
        "Wine start and start-up until the log opens": at["start"] - started,
        "manifest (with one 100 ms sleep)": at["download"] - at["start"],
        "downloads": at["extract"] - at["download"],
        "extractions (with 5 sleeps of 100 ms)": at["cleanup"] - at["extract"],
        "clean-up, version record, old folder (2 sleeps)": at["handover"] - at["cleanup"],
        "hand-over and registrations": finished - at["handover"],
        "exit after the last message": exited - finished,
        "total, process start to exit": exited - started,
    })
print("installer phases from the log's time stamps (median over %d runs, min-max):" % len(rows))
for name in rows[0]:
    values = [r[name] for r in rows]
    print("  %-50s %6.3f s  (%.3f-%.3f)" % (name, statistics.median(values), min(values), max(values)))
PY
tr -d '\r' <"$work/installer.out" | grep '^peak_'
