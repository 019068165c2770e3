#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the build's own prefix.
# The installer targets Chinese Windows: its 8-bit texts are code page 936,
# which Wine takes from the locale. A test about another language sets
# KAVIMOR_LOCALE (for example en_US.UTF-8) before it starts the program.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run: WINEPREFIX is not set; run the tests through scripts/test.sh" >&2
  exit 2
fi
# Set through env so that this shell does not try the locale itself.
# Without the randomised address layout where the system allows it (see
# scripts/wine-env.sh).
exec ${KAVIMOR_WINE_LAYOUT:-} env LC_ALL="${KAVIMOR_LOCALE:-zh_CN.UTF-8}" wine "$@"
