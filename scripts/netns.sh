# Sourced by the test and demo scripts. The build's object-store endpoint is a
# fixed loopback port, so two runs on one machine (two test runs, or a test
# run beside the demo) would answer each other's requests. kavimor_enter_netns
# re-runs the calling script inside a private network namespace with its own
# loopback, where the machine allows it (root, or unprivileged user
# namespaces); elsewhere it says so and the script goes on as it is.
#   kavimor_enter_netns "$0" "$@"    (after everything that needs the network)
kavimor_enter_netns() {
  if [ -n "${KAVIMOR_NETNS:-}" ] || [ -n "${KAVIMOR_NO_NETNS:-}" ]; then
    return 0
  fi
  local script=$1
  shift
  if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null &&
     unshare -n true 2>/dev/null; then
    # Where a mount namespace can be had too, name lookups stay inside: the
    # resolver is 127.0.0.1, where a test may answer for a name (automatic
    # proxy discovery), and KAVIMOR_NETNS_DNS says so. The bound file
    # lives as long as the mount.
    local mounts=
    unshare -n -m true 2>/dev/null && mounts=-m
    exec unshare -n $mounts env KAVIMOR_NETNS=1 KAVIMOR_NETNS_MOUNTS="$mounts" bash -c '
      ip link set lo up || exit 1
      if [ -n "$KAVIMOR_NETNS_MOUNTS" ] && conf=$(mktemp); then
        echo "nameserver 127.0.0.1" >"$conf"
        mount --bind "$conf" /etc/resolv.conf && export KAVIMOR_NETNS_DNS=1
        rm -f "$conf"
      fi
      exec bash "$0" "$@"' "$script" "$@"
  fi
  echo "note: no private network namespace here (needs root with unshare and ip);" \
       "this run shares the machine's loopback, so a second run on the same port fails" >&2
}
