# Sourced by the test, demo and benchmark scripts: a hermetic Wine prefix in
# the build tree, an Xvfb display with a 24-bit screen, and a wineserver that
# is started detached from our output pipes (an implicitly started one keeps
# them open for minutes and hangs whoever reads them). kavimor_env_stop ends
# both; callers trap it on EXIT so it also runs when something fails.
#   kavimor_env_begin BUILD_DIR   display up, and a missing prefix being made
#                                 in the background (about 15 s of Wine's own
#                                 set-up, which then overlaps the build)
#   kavimor_env_start BUILD_DIR   begins if not begun, waits for the prefix,
#                                 starts the server; Wine is usable after it

# Wine 8's loader (Debian's has no preloader) sits at 0x7d000000, and the
# kernel places a program's heap at a random point up to 1 GiB above its end.
# About once in a few thousand starts the heap the loader's C library has
# already used covers 0x7ffe0000, where every Windows process maps the user
# shared data: that process ends at once with status 1 ("failed to map the
# shared user data", unprinted under WINEDEBUG=-all). Where the system lets
# a process give up the randomised layout, every Wine process of ours starts
# without it; elsewhere they start as before.
if [ -z "${KAVIMOR_WINE_LAYOUT+set}" ]; then
  KAVIMOR_WINE_LAYOUT=
  if setarch "$(uname -m)" -R true >/dev/null 2>&1; then
    KAVIMOR_WINE_LAYOUT="setarch $(uname -m) -R"
  fi
  export KAVIMOR_WINE_LAYOUT
fi
# setarch runs the program found on PATH, not these functions.
kavimor_wine_start() {
  if [ -n "$KAVIMOR_WINE_LAYOUT" ]; then $KAVIMOR_WINE_LAYOUT "$@"; else command "$@"; fi
}
wine() { kavimor_wine_start wine "$@"; }
wineboot() { kavimor_wine_start wineboot "$@"; }
# Also for the command lines the benchmarks hand to a new bash.
export -f kavimor_wine_start wine wineboot

kavimor_env_begin() {
  local build_dir=$1
  [ "${KAVIMOR_ENV_BEGUN:-}" = "$build_dir" ] && return 0
  KAVIMOR_ENV_BEGUN=$build_dir
  # In the output, so that a run's log says which way Wine started.
  if [ -n "$KAVIMOR_WINE_LAYOUT" ]; then
    echo "wine: processes start without address randomisation ($KAVIMOR_WINE_LAYOUT)"
  else
    echo "wine: setarch -R refused here; processes start with the randomised layout"
  fi
  export WINEPREFIX="$build_dir/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64

  if [ -z "${KAVIMOR_KEEP_DISPLAY:-}" ] || [ -z "${DISPLAY:-}" ]; then
    local n=91
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    KAVIMOR_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # The server wineboot starts for itself goes when the prefix is made.
    (LC_ALL=zh_CN.UTF-8 wineboot -i || true; wineserver -w || true) >/dev/null 2>&1 </dev/null &
    KAVIMOR_PREFIX_PID=$!
  fi
}

kavimor_env_start() {
  local build_dir=$1
  kavimor_env_begin "$build_dir"
  if [ -n "${KAVIMOR_PREFIX_PID:-}" ]; then
    wait "$KAVIMOR_PREFIX_PID" 2>/dev/null || true
    KAVIMOR_PREFIX_PID=
  fi
  wineserver -p >/dev/null 2>&1 </dev/null &
  # Give the persistent server a moment to take the socket before the first
  # Wine process looks for it.
  sleep 0.5
  # The first Wine process also starts Wine's own background processes
  # (services, the desktop's explorer); they inherit that process's output
  # streams. Start them here, on /dev/null, not from a test under CTest.
  LC_ALL=zh_CN.UTF-8 wine cmd /c exit >/dev/null 2>&1 </dev/null || true
  # One registry import, every start (a prefix made before a change here
  # gets it too):
  # - Windows has the 32-bit programs' uninstall key from the start; a new
  #   Wine prefix does not, and the installer only opens it.
  # - The fonts a Chinese Windows draws with ("Microsoft YaHei" for the
  #   window, the dialog fonts for message boxes) are not in the prefix; Wine
  #   would fall back to DejaVu Sans (wider Latin, "Browse" clipped) or to a
  #   font without Latin glyphs (English message boxes as rows of boxes). The
  #   installed CJK font stands in for all of them.
  local reg="$WINEPREFIX/kavimor-env.reg" face
  {
    printf 'REGEDIT4\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall]\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for face in "Microsoft YaHei" "Microsoft YaHei UI" "Microsoft JhengHei" "SimSun" "NSimSun" \
      "PMingLiU" "MingLiU" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "Segoe UI"; do
      printf '"%s"="WenQuanYi Micro Hei"\r\n' "$face"
    done
  } >"$reg"
  # Z: is the whole Unix file system in every Wine prefix.
  wine regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1 </dev/null || true
}

kavimor_env_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1 </dev/null || true
  fi
  if [ -n "${KAVIMOR_PREFIX_PID:-}" ]; then
    wait "$KAVIMOR_PREFIX_PID" 2>/dev/null || true
    KAVIMOR_PREFIX_PID=
  fi
  KAVIMOR_ENV_BEGUN=
  if [ -n "${KAVIMOR_XVFB_PID:-}" ]; then
    kill "$KAVIMOR_XVFB_PID" >/dev/null 2>&1 || true
    wait "$KAVIMOR_XVFB_PID" 2>/dev/null || true
    KAVIMOR_XVFB_PID=
  fi
}
