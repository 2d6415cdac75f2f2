#!/bin/sh
# own_netns.sh COMMAND [ARG...]: runs COMMAND in a network namespace of its
# own with only loopback up, so P2P traffic (punches to every address a peer
# names) can reach nothing but 127.0.0.0/8. As root it uses a plain network
# namespace; otherwise a user namespace when the kernel allows one. Where
# neither can be made it says so and runs COMMAND as it is.
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' own_netns "$@"
fi
if unshare -rn true 2>/dev/null; then
  exec unshare -rn sh -c 'ip link set lo up && exec "$@"' own_netns "$@"
fi
echo "own_netns: no network namespace can be made here; running in the host's" >&2
exec "$@"
