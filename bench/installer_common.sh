# Sourced by the benchmarks that run the whole installer (install.sh,
# update.sh): the programs they need, a work folder that goes at exit, and
# the local servers they start, stopped at exit with the Wine environment.
#   kavimor_bench_setup NAME FOLDER   builds what is missing, makes
#                                     $work = FOLDER/kavimor-NAME.<pid>
#   kavimor_bench_pids+=(PID)         a server to stop at exit
kavimor_bench_pids=()

kavimor_bench_cleanup() {
  local pid
  for pid in "${kavimor_bench_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if declare -F kavimor_env_stop >/dev/null; then kavimor_env_stop; fi
  [ -n "${work:-}" ] && rm -rf "$work"
}

kavimor_bench_setup() {
  local name=$1 folder=$2
  bin=$build/win/bin
  if [ ! -x "$bin/headless_install.exe" ] || [ ! -x "$bin/kavimor v9.5.exe" ]; then
    cmake --build "$build/win" --target headless_install stand_in_client -j2 >/dev/null
  fi
  work=$(realpath -m "$folder")/kavimor-$name.$$
  mkdir -p "$work"
  trap kavimor_bench_cleanup EXIT
}
