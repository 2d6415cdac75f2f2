#!/usr/bin/env bash
# scripts/deps waits while another apt holds its lock, for a bounded time, and
# says what it waits for; other apt failures end it at once.
#   deps_apt_lock_test.sh ROOT
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# A tree of its own: the script and one package list naming a package that is not installed.
mkdir -p "$work/tree/scripts/deps.d" "$work/bin"
cp "$root/scripts/deps" "$work/tree/scripts/deps"
echo "velmora-no-such-package" >"$work/tree/scripts/deps.d/test.txt"
# Stand-ins: nothing installed; sudo runs its command; apt-get refuses with the
# lock message while $work/busy counts down (or says "never"), else fails as
# $work/broken says, else succeeds. Each call is noted in $work/calls.
cat >"$work/bin/dpkg-query" <<'SH'
#!/bin/sh
exit 1
SH
cat >"$work/bin/sudo" <<'SH'
#!/bin/sh
exec "$@"
SH
cat >"$work/bin/apt-get" <<SH
#!/bin/bash
echo "\$*" >>"$work/calls"
busy=\$(cat "$work/busy" 2>/dev/null || echo 0)
if [ "\$busy" = never ] || [ "\$busy" -gt 0 ]; then
  [ "\$busy" = never ] || echo \$((busy - 1)) >"$work/busy"
  echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (unattended-upgr)" >&2
  exit 100
fi
if [ -f "$work/broken" ]; then echo "E: Unable to locate package velmora-no-such-package" >&2; exit 100; fi
echo "fine: \$1"
SH
chmod +x "$work/bin/"*

# run BUSY BROKEN WAIT: runs the script; its exit status in $rc, its output in $out.
run() {
  rm -f "$work/calls" "$work/broken"
  echo "$1" >"$work/busy"
  [ "$2" = broken ] && touch "$work/broken"
  out=$(PATH="$work/bin:$PATH" DEPS_APT_WAIT=$3 DEPS_APT_POLL=0.1 timeout 30 bash "$work/tree/scripts/deps" 2>&1)
  rc=$?
}

# The lock is freed after three refusals: it waits, saying so, then installs.
run 3 ok 20
[ $rc -eq 0 ] || fail "a lock that is freed: exit $rc: $out"
[ "$(grep -c 'deps: waiting for another apt or dpkg to release its lock' <<<"$out")" -eq 3 ] ||
  fail "a lock that is freed: no waiting line for each refusal: $out"
grep -q "fine: update" <<<"$out" && grep -q "fine: install" <<<"$out" || fail "it did not go on to install: $out"
[ "$(grep -c '^update' "$work/calls")" -eq 4 ] || fail "update tried $(grep -c '^update' "$work/calls") times, not 4"

# The lock is never freed: it gives up after the wait, saying why, with apt's status.
start=$SECONDS
run never ok 1
[ $rc -eq 100 ] || fail "a lock that stays: exit $rc, not apt-get's 100: $out"
grep -q "deps: another apt or dpkg still holds its lock after 1 s" <<<"$out" || fail "a lock that stays: $out"
[ $((SECONDS - start)) -lt 10 ] || fail "a lock that stays: it waited $((SECONDS - start)) s"
grep -q "fine: install" <<<"$out" && fail "a lock that stays: it went on to install"

# Another failure is not waited on.
run 0 broken 20
[ $rc -eq 100 ] || fail "a missing package: exit $rc: $out"
grep -q "waiting" <<<"$out" && fail "a missing package: it waited: $out"
[ "$(wc -l <"$work/calls")" -eq 1 ] || fail "a missing package: apt-get ran $(wc -l <"$work/calls") times"

[ $failed -eq 0 ] && echo "PASS"
exit $failed
