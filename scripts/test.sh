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
cmake --build "$build/win" -j "$jobs"

if [ -f "$root/tests/native/CMakeLists.txt" ]; then
  cmake -S "$root/tests/native" -B "$build/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/native" -j "$jobs"
fi
# Every fuzz target once over its committed corpus (no fuzzing: seconds).
if [ -f "$root/tests/fuzz/CMakeLists.txt" ]; then
  cmake -S "$root/tests/fuzz" -B "$build/fuzz-replay" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/fuzz-replay" -j "$jobs"
fi

. "$root/scripts/wine-env.sh"
trap kavimor_env_stop EXIT
kavimor_env_start "$build/win"

status=0
only=()
[ $# -gt 0 ] && only=(-R "$1")
(cd "$build/win" && ctest --output-on-failure -j "$jobs" --timeout 600 "${only[@]}" </dev/null) || status=1
if [ $# -eq 0 ]; then
  for native in native fuzz-replay; do
    if [ -f "$build/$native/CTestTestfile.cmake" ]; then
      (cd "$build/$native" && ctest --output-on-failure -j "$jobs" </dev/null) || status=1
    fi
  done
fi
exit $status
