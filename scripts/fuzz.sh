#!/usr/bin/env bash
# Fuzzes every parser of untrusted bytes (tests/fuzz/*_fuzz.cpp) with
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, one target at a
# time, each for the given number of seconds, starting from its committed
# seed corpus. Not part of the test command (which only replays the corpus).
#   bash scripts/fuzz.sh [SECONDS] [TARGET-REGEX]     default 600 seconds, all
# New inputs go to build/fuzz/corpus/<target> (the committed corpus is only
# read); a finding stops its target and is left as build/fuzz/findings/
# <target>/crash-* (or leak-*, timeout-*): fix it, then commit that file to
# tests/fuzz/corpus/<target>/ under a name saying what it caught.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVIMOR_BUILD_DIR:-$root/build}/fuzz
seconds=${1:-600}
only=${2:-.}

bash "$root/scripts/setup.sh"
CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$build" -DKAVIMOR_FUZZ=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2

# The zip target passes each input through a file: keep that in memory.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm

status=0
summary=()
for source in "$root"/tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  [[ $name =~ $only ]] || continue
  mkdir -p "$build/corpus/$name" "$build/findings/$name"
  log="$build/$name.log"
  echo "fuzz: $name for ${seconds}s"
  if ! "$build/${name}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/findings/$name/" \
      "$build/corpus/$name" "$root/tests/fuzz/corpus/$name" >"$log" 2>&1; then
    status=1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o "[0-9]*$" | tail -1 || true)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o "[0-9]*$" | tail -1 || true)
  findings=$(find "$build/findings/$name" -type f | wc -l)
  summary+=("$name: ${runs:-?} executions, ${rate:-?} per second, $findings findings (log $log)")
done
printf 'fuzz: %s\n' "${summary[@]}"
exit $status
