#!/usr/bin/env bash
# The P2P library end to end: the rendezvous simulator (rdvsim), a device on
# the listen side (p2pdev) and a client (p2pcli) run as separate processes,
# each in a network namespace of its own, made by this script:
#
#   server ns: rdvsim's three servers 198.51.100.1-3 and its relays on .4
#   client NAT ns: WAN 203.0.113.2, LAN 10.1.0.1/24  ->  client ns 10.1.0.2
#   device NAT ns: WAN 203.0.113.6, LAN 10.2.0.1/24  ->  device ns 10.2.0.2
#
# The server namespace routes between the two NAT namespaces. A NAT
# namespace either only routes (none) or translates with nftables:
#   cone        a fixed public port for the host's fixed UDP port, any sender reaches it
#   restricted  masquerade; a new flow in from the WAN is dropped
#   symmetric   masquerade with a random port for every flow
#
#   e2e.sh modes|nat RDVSIM P2PDEV P2PCLI
# modes: every connect mode the SDK uses, through routed (NAT-free) networks.
# nat:   hole punching through cone, restricted and mixed NATs; relay fallback
#        through symmetric NATs.
# Exit 0 passed, 1 failed, 77 skipped (no network namespaces, or for nat no
# nftables, can be made).
set -u

suite=${1:-} rdvsim=${2:-} p2pdev=${3:-} p2pcli=${4:-}
if [ -z "$suite" ] || [ ! -x "$rdvsim" ] || [ ! -x "$p2pdev" ] || [ ! -x "$p2pcli" ]; then
  echo "usage: e2e.sh modes|nat RDVSIM P2PDEV P2PCLI" >&2
  exit 2
fi

readonly LIMIT_SEC=240     # the whole suite
readonly CONNECT_SEC=90    # one client run
readonly ECHO_BYTES=262144 # per channel
readonly KEY=e2e-key
readonly DID=EED-000001-DEV
readonly OFFLINE_DID=EED-000002-OFF
tag=vp2p$$
work=$(mktemp -d)
pids=()
failures=0
namespaces=()

say() { echo "e2e: $*"; }
source "$(dirname "$0")/../../lib/watchdog.sh"

# --- Clean-up: runs on every exit --------------------------------------------

stop_pids() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  pids=()
}

# Ends whatever still runs inside the namespaces (by pid), then removes them.
topo_down() {
  local n pid
  for n in "${namespaces[@]}"; do
    for pid in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns del "$n" 2>/dev/null
  done
  namespaces=()
}

cleanup() {
  stop_pids
  topo_down
  watchdog_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'say "interrupted"; exit 1' INT TERM

# Namespaces a run of this script left behind when it was killed outright.
for n in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^vp2p[0-9]+[a-z]+$'); do
  owner=${n#vp2p}
  owner=${owner%%[a-z]*}
  if ! kill -0 "$owner" 2>/dev/null; then
    for pid in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    ip netns del "$n" 2>/dev/null
  fi
done

# The whole suite is bounded: the watchdog ends it.
watchdog_start "$LIMIT_SEC"

# --- Topology ----------------------------------------------------------------

nsx() { local n=$1; shift; ip netns exec "$n" "$@"; }

S=${tag}s NC=${tag}nc C=${tag}c ND=${tag}nd D=${tag}d

# Makes the five namespaces; NAT kinds of the client's and the device's side,
# and the fixed UDP ports a cone NAT maps.
topo_up() {
  local kind_c=$1 kind_d=$2 port_c=$3 port_d=$4 n
  for n in $S $NC $C $ND $D; do
    ip netns add "$n" || return 1
    namespaces+=("$n")
    nsx "$n" ip link set lo up || return 1
    nsx "$n" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 || return 1
  done
  ip -n $S link add toc type veth peer name wan netns $NC &&
    ip -n $S link add tod type veth peer name wan netns $ND &&
    ip -n $NC link add lan type veth peer name eth0 netns $C &&
    ip -n $ND link add lan type veth peer name eth0 netns $D || return 1
  for a in 198.51.100.1 198.51.100.2 198.51.100.3 198.51.100.4; do ip -n $S addr add $a/32 dev lo || return 1; done
  ip -n $S addr add 203.0.113.1/30 dev toc && ip -n $S addr add 203.0.113.5/30 dev tod &&
    ip -n $NC addr add 203.0.113.2/30 dev wan && ip -n $NC addr add 10.1.0.1/24 dev lan &&
    ip -n $ND addr add 203.0.113.6/30 dev wan && ip -n $ND addr add 10.2.0.1/24 dev lan &&
    ip -n $C addr add 10.1.0.2/24 dev eth0 && ip -n $D addr add 10.2.0.2/24 dev eth0 || return 1
  ip -n $S link set toc up && ip -n $S link set tod up && ip -n $NC link set wan up && ip -n $NC link set lan up &&
    ip -n $ND link set wan up && ip -n $ND link set lan up && ip -n $C link set eth0 up && ip -n $D link set eth0 up ||
    return 1
  ip -n $NC route add default via 203.0.113.1 && ip -n $ND route add default via 203.0.113.5 &&
    ip -n $C route add default via 10.1.0.1 && ip -n $D route add default via 10.2.0.1 || return 1
  # Without NAT the private networks are reachable through the server namespace.
  ip -n $S route add 10.1.0.0/24 via 203.0.113.2 && ip -n $S route add 10.2.0.0/24 via 203.0.113.6 || return 1
  for n in $S $NC $ND; do nsx $n sysctl -qw net.ipv4.ip_forward=1 || return 1; done
  nat_rules $NC "$kind_c" 10.1.0.2 203.0.113.2 "$port_c" && nat_rules $ND "$kind_d" 10.2.0.2 203.0.113.6 "$port_d"
}

# nat_rules NS KIND HOST PUBLIC PORT
nat_rules() {
  local ns=$1 kind=$2 host=$3 pub=$4 port=$5 pre="" post=""
  case $kind in
    none) return 0 ;;
    cone)
      pre="iifname \"wan\" udp dport $port dnat to $host:$port"
      post="oifname \"wan\" ip saddr $host udp sport $port snat to $pub:$port
    oifname \"wan\" masquerade" ;;
    restricted) post="oifname \"wan\" masquerade" ;;
    symmetric) post="oifname \"wan\" masquerade random" ;;
    *) say "unknown NAT kind $kind"; return 1 ;;
  esac
  # New flows from the WAN are dropped before conntrack keeps them, so that a
  # peer's early punch does not take the port the host's own punch needs.
  nsx "$ns" nft -f - <<EOF
table ip nat {
  chain pre {
    type nat hook prerouting priority dstnat; policy accept;
    $pre
  }
  chain post {
    type nat hook postrouting priority srcnat; policy accept;
    $post
  }
}
table ip filter {
  chain input {
    type filter hook input priority 0; policy accept;
    iifname "wan" ct state new drop
  }
  chain forward {
    type filter hook forward priority 0; policy accept;
    iifname "wan" ct status dnat accept
    iifname "wan" ct state new drop
  }
}
EOF
}

# --- Processes ---------------------------------------------------------------

# wait_line FILE TEXT SECONDS [COUNT]: until FILE holds COUNT lines with
# TEXT; gives up early once the program wrote its last line.
wait_line() {
  local file=$1 text=$2 secs=$3 count=${4:-1} end=$((SECONDS + $3)) n
  while n=$(grep -c -- "$text" "$file" 2>/dev/null); [ "${n:-0}" -lt "$count" ]; do
    [ $SECONDS -ge $end ] && return 1
    grep -q -- "device exit" "$file" 2>/dev/null && return 1
    sleep 0.05
  done
}

# Each program writes a file of its own, made empty before it starts: a
# line of an earlier one is never taken for its own.
init=""
starts=0
rdvsim_out="" device_out=""
start_rdvsim() {
  starts=$((starts + 1))
  rdvsim_out="$work/rdvsim-$starts.out"
  : >"$rdvsim_out"
  # Started by ip netns exec itself, so that $! is the program's own pid.
  ip netns exec $S "$rdvsim" --ips 198.51.100.1,198.51.100.2,198.51.100.3 --udp-port 32100 --tcp-port 443 \
    --relay 198.51.100.4 --allow-any --key $KEY >"$rdvsim_out" 2>&1 </dev/null &
  pids+=($!)
  wait_line "$rdvsim_out" "rdvsim ready" 15 || { say "rdvsim did not start"; cat "$rdvsim_out"; return 1; }
  init=$(sed -n 's/.*init=\([^ ]*\).*/\1/p' "$rdvsim_out" | head -1)
}

# start_device [p2pdev options]: a device that serves one session after another.
start_device() {
  device_out="$work/device-$starts.out"
  : >"$device_out"
  ip netns exec $D "$p2pdev" --init "$init" --did $DID --sessions 0 --echo "$@" >"$device_out" 2>&1 </dev/null &
  pids+=($!)
  ready=0
}

# A client run: client MODE EXPECT [p2pcli options]. EXPECT is the session
# mode the client must get (several separated by "|"), or "result=N" for a
# query mode. The device must be ready for it.
client() {
  local mode=$1 expect=$2 out="$work/client-$run.out" status
  shift 2
  run=$((run + 1))
  if [[ $expect != result=* ]]; then
    ready=$((ready + 1))
    if ! wait_line "$device_out" "device ready" 30 $ready; then
      fail "mode $mode: the device did not log in"
      return
    fi
  fi
  timeout $CONNECT_SEC ip netns exec $C "$p2pcli" --init "$init" --mode "$mode" "$@" >"$out" 2>&1 </dev/null
  status=$?
  sed "s/^/    /" "$out"
  if [[ $expect == result=* ]]; then
    grep -q "cli connect $expect " "$out" || fail "mode $mode: expected $expect"
    return
  fi
  [ $status -eq 0 ] || { fail "mode $mode: p2pcli ended with $status"; return; }
  grep -Eq "cli session mode=($expect) " "$out" || fail "mode $mode: session mode is not $expect"
  # The device saw the same session end after carrying every byte both ways.
  wait_line "$device_out" "device ended" 15 $((ready)) ||
    fail "mode $mode: the device did not see the session end"
}

fail() {
  say "FAIL: $*"
  failures=$((failures + 1))
}

# --- Suites ------------------------------------------------------------------

if ! ip netns add ${tag}probe 2>"$work/probe.err"; then
  say "SKIP: network namespaces cannot be made here: $(cat "$work/probe.err")"
  exit 77
fi
if [ "$suite" = nat ] &&
   ! ip netns exec ${tag}probe nft add table ip probe 2>"$work/probe.err"; then
  say "SKIP: nftables cannot make a NAT here: $(cat "$work/probe.err")"
  ip netns del ${tag}probe
  exit 77
fi
ip netns del ${tag}probe

run=0
ready=0
case $suite in
  modes)
    # Routed networks without NAT. The device also logs in over TCP where UDP
    # logins go unanswered, and takes TCP relay offers.
    topo_up none none 0 0 || { say "cannot build the networks"; exit 1; }
    start_rdvsim || exit 1
    start_device --login-mode 2
    data=(--did $DID --echo $ECHO_BYTES)
    say "punch, UDP relay, relay with retry, TCP-assisted, TCP only, timed UDP"
    client 12 0 "${data[@]}"
    client 30 1 "${data[@]}"
    client 94 1 "${data[@]}"
    client 123 "0|2" "${data[@]}"
    client 124 2 "${data[@]}"
    client 125 0 "${data[@]}"
    client 126 0 "${data[@]}"
    say "state query: the device online, and one the servers do not know online"
    client 127 "result=65536" --did $DID
    client 127 "result=-6" --did $OFFLINE_DID
    ;;
  nat)
    # nat_case CLIENT_NAT DEVICE_NAT MODE EXPECT [MODE EXPECT]...
    nat_case() {
      local kc=$1 kd=$2
      shift 2
      say "client behind a $kc NAT, device behind a $kd NAT"
      topo_up "$kc" "$kd" 40000 40001 || { fail "cannot build the networks"; return; }
      start_rdvsim || { fail "no rdvsim"; return; }
      start_device --login-mode 2 --udp-port 40001
      while [ $# -ge 2 ]; do
        client "$1" "$2" --did $DID --udp-port 40000 --echo $ECHO_BYTES
        # A punched session runs between the two NATs' public addresses.
        if [ "$2" = 0 ] && ! grep -q "remote=203.0.113.6:" "$work/client-$((run - 1)).out"; then
          fail "the punched session does not run to the device NAT's public address"
        fi
        shift 2
      done
      stop_pids
      topo_down
    }
    nat_case cone cone 12 0
    nat_case restricted restricted 12 0
    nat_case symmetric cone 12 0
    nat_case symmetric symmetric 12 1 124 2
    ;;
  *)
    say "unknown suite $suite"
    exit 2
    ;;
esac

# Every process's output (simulator, devices, clients) is read for sanitizer
# reports once they have ended, so a leak reported at exit counts too.
stop_pids
for f in "$work"/*.out; do
  [ -e "$f" ] || continue
  if grep -Eq 'ERROR: [A-Za-z]+Sanitizer|WARNING: [A-Za-z]+Sanitizer|runtime error:' "$f"; then
    fail "sanitizer report in ${f##*/}:"
    sed "s/^/    /" "$f"
  fi
done

if [ $failures -ne 0 ]; then
  say "$failures failure(s); the devices said:"
  for f in "$work"/device-*.out; do
    echo "  ${f##*/}:"
    sed "s/^/    /" "$f"
  done
  exit 1
fi
say "passed"
exit 0
