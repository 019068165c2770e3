#!/usr/bin/env python3
"""Runs two sides of a benchmark in alternating pairs and prints the median of
the per-pair speed ratios with their minimum and maximum.

Machines here are shared and noisy: a best-of-N on each side hides the
spread, so each pair runs the program and its baseline back to back (the
order flips every pair) and only the ratio of the two is kept.

    python3 bench/pairs.py --pairs 5 \
        --name-a installer --cmd-a '...' \
        --name-b 'curl (baseline)' --cmd-b '...' \
        [--before '...'] [--goal 0.9]

Each command runs through bash. Its time is the wall time of the command,
unless it prints a line 'seconds=X', which then counts instead (a side that
times only its own work, without a set-up it cannot avoid). --before runs
before every single side (clearing an output folder, say) and is not timed.
The ratio is baseline time / program time: above 1 the program is faster.
"""
import argparse
import re
import statistics
import subprocess
import sys
import time


def run_side(cmd, before):
    if before:
        subprocess.run(["bash", "-c", before], check=True)
    start = time.perf_counter()
    proc = subprocess.run(["bash", "-c", cmd], stdout=subprocess.PIPE, text=True,
                          stdin=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        sys.stderr.write(proc.stdout)
        raise SystemExit("pairs: command failed with exit code %d: %s" % (proc.returncode, cmd))
    found = re.findall(r"seconds=([0-9.]+)", proc.stdout)
    return float(found[-1]) if found else wall


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pairs", type=int, default=5)
    ap.add_argument("--name-a", required=True)
    ap.add_argument("--cmd-a", required=True)
    ap.add_argument("--name-b", required=True)
    ap.add_argument("--cmd-b", required=True)
    ap.add_argument("--before", default="")
    ap.add_argument("--goal", type=float, default=None)
    args = ap.parse_args()
    if args.pairs < 1:
        raise SystemExit("pairs: --pairs must be at least 1")

    ratios = []
    for i in range(args.pairs):
        order = ("a", "b") if i % 2 == 0 else ("b", "a")
        t = {}
        for side in order:
            t[side] = run_side(args.cmd_a if side == "a" else args.cmd_b, args.before)
        ratio = t["b"] / t["a"] if t["a"] > 0 else float("inf")
        ratios.append(ratio)
        print("pair %d: %s %.3f s, %s %.3f s, ratio %.3f" %
              (i + 1, args.name_a, t["a"], args.name_b, t["b"], ratio), flush=True)

    med = statistics.median(ratios)
    line = "ratio %s vs %s: median %.3f (min %.3f, max %.3f) over %d pairs" % (
        args.name_a, args.name_b, med, min(ratios), max(ratios), len(ratios))
    if args.goal is not None:
        line += "; goal >= %.2f: %s" % (args.goal, "met" if med >= args.goal else "NOT met")
    print(line)


if __name__ == "__main__":
    main()
