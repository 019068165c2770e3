#!/usr/bin/env bash
# Update benchmark: what an installation costs in bytes over the network and
# in wall time with the package cache and resumed downloads, against the same
# installer with both switched off (headless_install --no-cache), for a
# generated release of about 300 MB and its update:
#
#   first    a first installation (empty cache)
#   repeat   the same release installed again over it
#   update   the release's update: 3 % of the runtime package's 100 payload
#            files changed, under a new runtime version
#   rerun    a run killed when 60 % of the release's bytes have come (the
#            runtime package then trickles), and the next run: only the
#            rerun is measured
#
# Each pair runs both installers through all four scenarios, the order of
# the two flipping every pair (bench/pairs.py's habit: shared, noisy
# machines). Per scenario it prints, for each installer, the median bytes
# and time with min and max, and the medians of the per-pair ratios
# (cache / no cache) against the goals. Bytes are the body bytes the local
# server logged for the run's GETs. Times are process start to exit, Wine's
# start included.
#
#   bash bench/update.sh [--dir FOLDER] [--pairs N] [--mb N] [--rate-mbit R]
#     --dir    work folder (packages, installs; default the build folder's
#              disk); /dev/shm/... takes the disk's noise out
#     --pairs  alternating pairs (default 5); --mb package set size (300)
#     --rate-mbit  the server sends at most R Mbit/s, as a line of that
#              speed would (default: loopback, where the network is nearly
#              free and only the disk and the processor are measured)
#   KAVIMOR_BUILD_DIR  build tree (default <repo>/build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${KAVIMOR_BUILD_DIR:-$root/build}")
pairs=5 size_mb=300 dir= rate=0
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --mb) size_mb=$2; shift 2 ;;
    --rate-mbit) rate=$2; shift 2 ;;
    *) echo "usage: $0 [--dir FOLDER] [--pairs N] [--mb N] [--rate-mbit R]" >&2; exit 2 ;;
  esac
done

. "$root/bench/installer_common.sh"
kavimor_bench_setup update "${dir:-$build/bench-update}"

echo "bench: generating a ${size_mb} MB release and its update in $(dirname "$work") ($(stat -f -c %T "$work"))"
for side in before after; do
  extra=()
  [ $side = after ] && extra=(--version 9.5.9.2 --changed-percent 3)
  python3 "$root/tools/make_packages.py" --out "$work/$side" --tree-file "$work/$side.tree" \
    --client-exe "$bin/kavimor v9.5.exe" --total-mb "$size_mb" --runtime-files 100 "${extra[@]}"
done
du -sh "$work/before/9.5KavimorIE" "$work/after/9.5KavimorIE/fix"

cache="$build/win/CMakeCache.txt"
value() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
for side in before after; do
  mkdir -p "$work/control-$side"
  # Two servers side by side: each on a free port (the build's port is the
  # demo's), with the build's bucket and key pair.
  python3 "$root/tools/oss_server.py" --root "$work/$side" --bucket "$(value KAVIMOR_OSS_BUCKET)" \
    --key-id "$(value KAVIMOR_OSS_KEY_ID)" --key-secret "$(value KAVIMOR_OSS_KEY_SECRET)" \
    --port-file "$work/port-$side" --control-dir "$work/control-$side" --idle-exit 1800 --rate-mbit "$rate" \
    </dev/null >/dev/null 2>&1 &
  kavimor_bench_pids+=($!)
done
for _ in $(seq 1 100); do [ -s "$work/port-before" ] && [ -s "$work/port-after" ] && break; sleep 0.1; done

. "$root/scripts/wine-env.sh"
kavimor_env_start "$build/win" >/dev/null 2>&1
LC_ALL=zh_CN.UTF-8 wine cmd /c exit >/dev/null 2>&1 </dev/null || true

echo "bench: line $([ "$rate" = 0 ] && echo "loopback, unlimited" || echo "$rate Mbit/s"); load average $(cut -d' ' -f1-3 /proc/loadavg)"
export KAVIMOR_BENCH_WORK=$work KAVIMOR_BENCH_BIN=$bin KAVIMOR_BENCH_PAIRS=$pairs
python3 - <<'PY'
import glob, json, os, re, signal, statistics, subprocess, time

work = os.environ["KAVIMOR_BENCH_WORK"]
exe = os.path.join(os.environ["KAVIMOR_BENCH_BIN"], "headless_install.exe")
pairs = int(os.environ["KAVIMOR_BENCH_PAIRS"])
port = {s: int(open(os.path.join(work, "port-" + s)).read()) for s in ("before", "after")}
prefix = os.environ["WINEPREFIX"]
program_data = os.path.join(prefix, "drive_c", "ProgramData", "Kavimor")
runtime_key = "9.5KavimorIE/fix/9.5.9.1.zip"
runtime_size = os.path.getsize(os.path.join(work, "before", *runtime_key.split("/")))
release_size = sum(os.path.getsize(p) for p in glob.glob(os.path.join(work, "before", "9.5KavimorIE", "**", "*"),
                                                          recursive=True) if os.path.isfile(p))
before_runtime = release_size - runtime_size - os.path.getsize(
    glob.glob(os.path.join(work, "before", "9.5KavimorIE", "quant", "*.zip"))[0])
# The kill comes when 60 % of the release's bytes are in: base, config and
# the manifest are, so it falls inside the runtime package.
kill_at = max(1, int(release_size * 0.6) - before_runtime)


def control(side):
    return os.path.join(work, "control-" + side)


def faults(side, items):
    with open(os.path.join(control(side), "faults.json"), "w") as f:
        json.dump({"faults": items}, f)


def logged(side):
    try:
        lines = open(os.path.join(control(side), "requests.log")).read().splitlines()
    except OSError:
        return []
    return [l.split("\t") for l in lines]


def body_bytes(side, since):
    # The line of a request is written once its body went out; wait until
    # the log stops growing.
    last = -1
    while True:
        rows = logged(side)
        if len(rows) == last:
            break
        last = len(rows)
        time.sleep(0.3)
    return sum(int(r[9]) for r in rows[since:] if r[0] == "GET" and len(r) > 9)


def profile(name):
    return os.path.join(work, "profile-" + name)


def forget_cache():
    for folder in glob.glob(os.path.join(program_data, "cache-*")):
        subprocess.run(["rm", "-rf", folder], check=True)


def start(side, name, cached):
    args = ["wine", exe, "http://127.0.0.1:%d" % port[side], "Z:" + profile(name).replace("/", "\\")]
    if not cached:
        args.append("--no-cache")
    env = dict(os.environ, LC_ALL="zh_CN.UTF-8")
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env=env, text=True)


def run(side, name, cached):
    since = len(logged(side))
    began = time.perf_counter()
    proc = start(side, name, cached)
    out, _ = proc.communicate()
    seconds = time.perf_counter() - began
    if proc.returncode != 0 or "result done" not in out:
        raise SystemExit("bench: installation failed (%s, %s):\n%s" % (side, name, out))
    private = float(re.search(r"peak_private_mb (\S+)", out).group(1))
    return {"bytes": body_bytes(side, since), "seconds": seconds, "private": private}


def reached(name, cached):
    if cached:
        for record in glob.glob(os.path.join(program_data, "cache-*", "*.resume")):
            lines = open(record, encoding="latin-1").read().split("\n")
            if lines[0] == runtime_key and len(lines) > 4 and lines[4].isdigit():
                return int(lines[4])
        return 0
    staged = os.path.join(profile(name), "Kavimor201805v9.5temp", "9.5.9.1.zip")
    return os.path.getsize(staged) if os.path.exists(staged) else 0


def scenarios(cached):
    name = "cache" if cached else "nocache"
    subprocess.run(["rm", "-rf", profile(name)], check=True)
    os.makedirs(profile(name))
    if cached:
        forget_cache()
    results = {"first": run("before", name, cached), "repeat": run("before", name, cached),
               "update": run("after", name, cached)}
    # A run killed at 60 %: the runtime package trickles from there on.
    subprocess.run(["rm", "-rf", profile(name)], check=True)
    os.makedirs(profile(name))
    if cached:
        forget_cache()
    faults("before", [{"kind": "trickle", "key": runtime_key, "value": kill_at, "seconds": 0.05}])
    proc = start("before", name, cached)
    limit = time.time() + 300
    while reached(name, cached) < kill_at * 0.98 and time.time() < limit and proc.poll() is None:
        time.sleep(0.1)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    time.sleep(1)  # the Wine server notices the process is gone
    faults("before", [])
    results["rerun"] = run("before", name, cached)
    return results


# The server works out each object's CRC-64 and MD5 (in Python) on its first
# request and keeps them: one untimed installation from each bucket first,
# so that no measured run pays for it.
print("bench: warming the servers up", flush=True)
for side in ("before", "after"):
    subprocess.run(["rm", "-rf", profile("warm")], check=True)
    os.makedirs(profile("warm"))
    run(side, "warm", False)

names = ("first", "repeat", "update", "rerun")
goals = {"repeat": ("bytes", 0.02), "update": ("bytes", 0.10), "rerun": ("bytes", 0.45)}
runs = {True: [], False: []}
for i in range(pairs):
    for cached in ((True, False) if i % 2 == 0 else (False, True)):
        runs[cached].append(scenarios(cached))
    c, n = runs[True][-1], runs[False][-1]
    print("pair %d: " % (i + 1) + ", ".join(
        "%s %.1f/%.1f MB %.2f/%.2f s" % (s, c[s]["bytes"] / 1e6, n[s]["bytes"] / 1e6, c[s]["seconds"],
                                         n[s]["seconds"]) for s in names) + " (cache/no cache)", flush=True)


def spread(values, fmt):
    return (fmt + " (" + fmt + "-" + fmt + ")") % (statistics.median(values), min(values), max(values))


print("\nrelease %.1f MB, runtime package %.1f MB, kill at %.1f MB of the runtime; %d pairs" % (
    release_size / 1e6, runtime_size / 1e6, kill_at / 1e6, pairs))
for s in names:
    cb = [r[s]["bytes"] / 1e6 for r in runs[True]]
    nb = [r[s]["bytes"] / 1e6 for r in runs[False]]
    ct = [r[s]["seconds"] for r in runs[True]]
    nt = [r[s]["seconds"] for r in runs[False]]
    rb = [r[s]["bytes"] / max(1, q[s]["bytes"]) for r, q in zip(runs[True], runs[False])]
    rt = [r[s]["seconds"] / q[s]["seconds"] for r, q in zip(runs[True], runs[False])]
    line = "%-7s cache %s MB %s s | no cache %s MB %s s | ratio bytes %s, time %s" % (
        s, spread(cb, "%.1f"), spread(ct, "%.2f"), spread(nb, "%.1f"), spread(nt, "%.2f"),
        spread(rb, "%.3f"), spread(rt, "%.2f"))
    if s in goals:
        line += "; goal bytes <= %.2f: %s" % (goals[s][1], "met" if statistics.median(rb) <= goals[s][1] else "NOT met")
    if s == "repeat":
        line += "; goal time <= 0.40: %s" % ("met" if statistics.median(rt) <= 0.4 else "NOT met")
    print(line)
print("load average at the end: " + " ".join(open("/proc/loadavg").read().split()[:3]))
peak = max(r[s]["private"] for r in runs[True] + runs[False] for s in names)
print("peak private memory of any run: %.1f MiB (goal < 16: %s)" % (peak, "met" if peak < 16 else "NOT met"))
PY
