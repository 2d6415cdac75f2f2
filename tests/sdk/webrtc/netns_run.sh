#!/usr/bin/env bash
# Runs a command in a new network namespace with only loopback up; exit 77 (skipped) when no namespace can
# be made here.
#   netns_run.sh PROGRAM [ARGS...]
set -u
if ! unshare -n true 2>/dev/null; then
  echo "netns_run: cannot make a network namespace here (needs root or user namespaces): skipped" >&2
  exit 77
fi
exec unshare -n bash -c 'ip link set lo up || exit 77; exec "$@"' netns_run "$@"
