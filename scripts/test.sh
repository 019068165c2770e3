#!/usr/bin/env bash
# Builds the installer and every test, and runs them all: the Windows tests
# under Wine (inside Xvfb), the native zip-reader check against the real
# minizip, the local server's client-facing checks, and every fuzz target's
# replay of its committed corpus. Installs what is missing first. Exit
# status 0 only when all pass.
#   bash scripts/test.sh            everything
#   bash scripts/test.sh REGEX      builds everything, runs only the Wine tests
#                                   whose CTest names match REGEX
# CMAKE_C_COMPILER_LAUNCHER / CMAKE_CXX_COMPILER_LAUNCHER (e.g. ccache) are
# taken from the environment by CMake when the build folder is first made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVIMOR_BUILD_DIR:-$root/build}
jobs=$(nproc)

bash "$root/scripts/setup.sh"
. "$root/scripts/netns.sh"
kavimor_enter_netns "$0" "$@"

cmake -S "$root" -B "$build/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null

. "$root/scripts/wine-env.sh"
side_pid=
finish() {
  [ -n "$side_pid" ] && kill -- "-$side_pid" >/dev/null 2>&1
  kavimor_env_stop
}
trap finish EXIT
# A new prefix is made while the build runs.
kavimor_env_begin "$build/win"
cmake --build "$build/win" -j "$jobs"
kavimor_env_start "$build/win"

# The benchmarks' programs, the native builds and their checks need neither
# Wine nor the display: they run beside the Wine tests, at a lower priority,
# on the processor time those leave (the tests that run alone mostly wait).
# Their output follows the Wine tests' output.
side_log="$build/native-checks.log"
mkdir -p "$build"
side_checks() {
  cmake --build "$build/win" --target bench_programs -j "$jobs"
  if [ -f "$root/tests/native/CMakeLists.txt" ]; then
    cmake -S "$root/tests/native" -B "$build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/native" -j "$jobs"
  fi
  # Every fuzz target once over its committed corpus (no fuzzing: seconds).
  if [ -f "$root/tests/fuzz/CMakeLists.txt" ]; then
    cmake -S "$root/tests/fuzz" -B "$build/fuzz-replay" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/fuzz-replay" -j "$jobs"
  fi
  [ "$1" = all ] || return 0
  local native status=0
  for native in native fuzz-replay; do
    if [ -f "$build/$native/CTestTestfile.cmake" ]; then
      (cd "$build/$native" && ctest --output-on-failure -j "$jobs" </dev/null) || status=1
    fi
  done
  return $status
}
scope=all
[ $# -gt 0 ] && scope=build
set -m  # its own process group, so that an early exit can stop all of it
(renice -n 10 -p "$BASHPID" >/dev/null; side_checks "$scope") >"$side_log" 2>&1 </dev/null &
side_pid=$!
set +m

status=0
only=()
[ $# -gt 0 ] && only=(-R "$1")
(cd "$build/win" && ctest --output-on-failure -j "$jobs" --timeout 600 "${only[@]}" </dev/null) || status=1
side_status=0
wait "$side_pid" || side_status=$?
side_pid=
cat "$side_log"
if [ "$side_status" -ne 0 ]; then
  echo "test: native builds or checks failed (status $side_status; output above)" >&2
  status=1
fi
exit $status
