# Shared by the device end-to-end suites: a network namespace of their own with
# only loopback up, a time limit, the processes they start ended by pid, and
# any sanitizer report from any program failing the suite. Sourced, after the
# suite has set LIMIT_SEC:
#   e2e_begin TAG NS_PREFIX
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../../lib/watchdog.sh"

e2e_begin() {  # TAG NS_PREFIX
  e2e_tag=$1
  e2e_prefix=$2
  export TZ=UTC
  ns=$e2e_prefix$$
  work=$(mktemp -d)
  pids=()
  failures=0
  trap e2e_cleanup EXIT
  trap 'say "interrupted"; exit 1' INT TERM

  # Namespaces an earlier run left behind when it was killed outright.
  local n
  for n in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^$e2e_prefix[0-9]+\$"); do
    kill -0 "${n#"$e2e_prefix"}" 2>/dev/null || ip netns del "$n" 2>/dev/null
  done

  watchdog_start "$LIMIT_SEC"

  if ! command -v ffmpeg >/dev/null; then
    say "SKIP: no ffmpeg to make the test media"
    exit 77
  fi
  if ! ip netns add "$ns" 2>"$work/ns.err"; then
    say "SKIP: no network namespace can be made here: $(cat "$work/ns.err")"
    exit 77
  fi
  ip -n "$ns" link set lo up || { say "cannot bring loopback up"; exit 1; }
}

say() { echo "$e2e_tag: $*"; }
fail() {
  say "FAIL: $*"
  failures=$((failures + 1))
}

# Programs whose pid only a child knew leave it in "$work"/*.pid.
e2e_cleanup() {
  local pid f
  for f in "$work"/*.pid; do [ -f "$f" ] && pids+=("$(cat "$f")"); done
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
  ip netns del "$ns" 2>/dev/null
  watchdog_stop
  rm -rf "$work"
}

media() { ffmpeg -hide_banner -loglevel error -y "$@" </dev/null; }

wait_line() {  # FILE TEXT SECONDS
  local end=$((SECONDS + $3))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.05
  done
}

e2e_start_rdvsim() {  # RDVSIM: starts it in the namespace and sets init
  ip netns exec "$ns" "$1" --key e2e-key --relay 127.0.0.4 >"$work/rdvsim.out" 2>&1 </dev/null &
  pids+=($!)
  wait_line "$work/rdvsim.out" "rdvsim ready" 15 || { say "rdvsim did not start"; cat "$work/rdvsim.out"; exit 1; }
  init=$(sed -n 's/.*init=\([^ ]*\).*/\1/p' "$work/rdvsim.out" | head -1)
}

e2e_finish() {  # FILE...: what to show when the suite failed
  local f
  for f in "$work"/*.out; do
    if grep -Eq "(ERROR|WARNING): (Address|Leak|Thread)Sanitizer|runtime error:" "$f"; then
      fail "sanitizer report in ${f##*/}:"
      sed 's/^/    /' "$f"
    fi
  done
  if [ $failures -ne 0 ]; then
    say "$failures failure(s); the programs said:"
    for f in "$@"; do
      echo "  ${f##*/}:"
      sed 's/^/    /' "$f"
    done
    exit 1
  fi
  say "passed"
  exit 0
}
