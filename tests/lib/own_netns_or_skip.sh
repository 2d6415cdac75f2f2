# Sourced by test scripts: own_netns_or_skip SCRIPT [ARG...] re-runs SCRIPT once in a network namespace of
# its own with only loopback up (a plain one as root, else a user namespace), and returns when already in
# it; where none can be made the test is skipped (exit 77).
own_netns_or_skip() {
  [ -n "${VELMORA_OWN_NETNS:-}" ] && return 0
  export VELMORA_OWN_NETNS=1
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n sh -c 'ip link set lo up && exec bash "$@"' sh "$@"
  elif unshare -rn true 2>/dev/null; then
    exec unshare -rn sh -c 'ip link set lo up && exec bash "$@"' sh "$@"
  fi
  echo "$(basename "$1"): SKIP: no network namespace can be made here"
  exit 77
}
