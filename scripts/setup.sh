#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demo need and
# this machine does not have yet. Safe to run again: it installs only what is
# missing and does nothing else when everything is there.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  googletest
  wine wine64
  xvfb x11-utils
  python3 python3-pil
  # CJK glyphs for the window's Chinese texts under Wine
  fonts-wqy-microhei
  zip unzip curl openssl
  libminizip-dev zlib1g-dev g++
  # the fuzz targets: libFuzzer and the sanitizers (scripts/fuzz.sh)
  clang libclang-rt-14-dev
  locales
  iproute2 util-linux
  # Authenticode signing and verification of the release build
  osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# The mingw "posix" compilers must be the ones CMake finds; Debian registers
# both flavours as alternatives, the toolchain file names the posix ones.
command -v x86_64-w64-mingw32-g++-posix >/dev/null
command -v wine >/dev/null || { echo "setup: wine missing" >&2; exit 1; }

# Wine names files in the Unix locale's character set and takes the ANSI
# code page from the locale: without a generated zh_CN.UTF-8 locale it
# cannot create files with Chinese names (the tests run the programs under
# LC_ALL=zh_CN.UTF-8), and the end-to-end runs repeat under zh_TW and zh_HK
# (code page 950) and ja_JP (932).
for l in zh_CN zh_TW zh_HK ja_JP; do
  if ! locale -a 2>/dev/null | grep -qi "^$l\.utf-\?8$"; then
    echo "setup: generating the $l.UTF-8 locale"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO localedef -i "$l" -f UTF-8 "$l.UTF-8"
  fi
done
