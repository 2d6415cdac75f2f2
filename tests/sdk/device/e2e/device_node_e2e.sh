#!/usr/bin/env bash
# Device nodes end to end: cloudsim (the account's device records), rdvsim,
# camsim (the cameras), statesim (the state server that wakes a sleeping
# camera) and device_node_e2e as processes in a network namespace of their
# own with only loopback up. The sleeping camera's wake-up runs the whole
# road: the client's wake-up line reaches statesim, whose hook starts camsim
# for that camera; once camsim is up cloudsim sends the push channel's
# "device_status" online event, which ends the client's wait.
#
#   device_node_e2e.sh RDVSIM CAMSIM STATESIM TESTBIN CLOUDSIM_DIR
# Exit 0 passed, 1 failed, 77 skipped (no namespace, node or ffmpeg here).
# Any sanitizer report from any of the programs fails the suite.
set -u

rdvsim=${1:-} camsim=${2:-} statesim=${3:-} testbin=${4:-} cloudsim=${5:-}
if [ ! -x "$rdvsim" ] || [ ! -x "$camsim" ] || [ ! -x "$statesim" ] || [ ! -x "$testbin" ] ||
  [ ! -f "$cloudsim/cloudsim.js" ]; then
  echo "usage: device_node_e2e.sh RDVSIM CAMSIM STATESIM TESTBIN CLOUDSIM_DIR" >&2
  exit 2
fi

readonly LIMIT_SEC=150
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin devicenode vdn
# --- Media ---------------------------------------------------------------------
media -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 25 -f h264 "$work/v.h264" ||
  { say "ffmpeg could not make the test media"; exit 1; }

# --- Processes -----------------------------------------------------------------
e2e_start_rdvsim "$rdvsim"

if ! command -v node >/dev/null || [ ! -d "$cloudsim/node_modules" ] || ! command -v curl >/dev/null; then
  say "SKIP: no node, curl or node packages for cloudsim (scripts/deps installs them)"
  exit 77
fi

start_camsim() {  # OUT [camsim options]
  local out=$1
  shift
  ip netns exec "$ns" "$camsim" --init "$init" --video "$work/v.h264" --login-mode 2 "$@" >"$out" 2>&1 </dev/null &
  pids+=($!)
  camsim_pid=$!
  wait_line "$out" "camsim ready" 30 || { fail "camsim did not get ready: $(cat "$out")"; return 1; }
}
start_camsim "$work/camsim.out" --did VLM-000021-CAM --did VLM-000022-CAM --did VLM-000023-CAM --did VLM-000024-CAM \
  --password pw21 --password pw22 --password pw23 --password pw24 || exit 1

ip netns exec "$ns" "$statesim" --port 0 --wait-hook --on-wake "bash $work/wake.sh \"\$1\"" >"$work/statesim.out" 2>&1 </dev/null &
pids+=($!)
wait_line "$work/statesim.out" "statesim ready" 10 || { say "statesim did not start"; cat "$work/statesim.out"; exit 1; }
state_port=$(sed -n 's/statesim ready port=//p' "$work/statesim.out" | head -1)

# --- The account ---------------------------------------------------------------
mkdir -p "$work/fx"
echo '[{"id": "1001", "phone": "5550001", "password": "userpw"}]' >"$work/fx/users.json"
rec() {  # ID TYPE P2P_ID PASSWORD DES_KEY CONNECT_WAY [extra JSON members]
  printf '{"id": %s, "name": "Cam %s", "uuid": "%s", "p2p_id": "%s", "password": "%s", "des_key": "%s",
    "device_type": "%s", "connect_way": "%s", "p2p_platform": "rvs::%s", "is_online": 1,
    "p2p_state_server": "127.0.0.1:%s"%s}\n' "$1" "$1" "$3" "$3" "$4" "$5" "$2" "$6" "$init" "$state_port" "${7:-}"
}
relays=', "attrs": "{\"protocol\":\"ovwebrtc\"}", "ov_webrtc": [{"ip": "127.0.0.9", "port": 3478, "user": "u", "pass": "p", "is_turn": 1, "mode": 0}]'
{
  echo '{"1001": ['
  rec 701 ipc VLM-000021-CAM pw21 k701 wifi
  echo ,
  rec 702 doorbell VLM-000022-CAM pw22 k702 wifi
  echo ,
  rec 703 drsim VLM-000023-CAM pw23 k703 wifi
  echo ,
  rec 704 lpsim VLM-000024-CAM pw24 "" sim
  echo ,
  rec 705 lpwifi VLM-000025-CAM pw25 "" wifi "$relays"
  echo ,
  rec 706 lpwifi VLM-000026-CAM pw26 "" wifi "$relays"
  echo ,
  rec 707 ipc VLM-000021-CAM wrong-pw k707 wifi
  echo ,
  rec 708 lpsim VLM-000027-CAM pw27 "" sim
  echo ']}'
} >"$work/fx/devices.json"

mkfifo "$work/cloudsim.in"
ip netns exec "$ns" node "$cloudsim/cloudsim.js" --fixture "$work/fx" --conf "$work/cloud.ini" --watch-stdin \
  <"$work/cloudsim.in" >"$work/cloudsim.out" 2>"$work/cloudsim-err.out" &
pids+=($!)
exec 7>"$work/cloudsim.in"
wait_line "$work/cloudsim.out" "READY" 20 ||
  { say "cloudsim did not start"; cat "$work/cloudsim.out" "$work/cloudsim-err.out"; exit 1; }
control=$(sed -n 's/^CONTROL //p' "$work/cloudsim.out")

# statesim's hook: VLM-000025-CAM wakes (camsim starts for it; once camsim is up, cloudsim pushes
# "device_status" online), VLM-000027-CAM (an lpsim camera woken on its P2P id) wakes, VLM-000026-CAM never
# does.
{
  echo 'case "$1" in VLM-000025-CAM|VLM-000027-CAM) ;; *) exit 0 ;; esac'
  echo "[ -f $work/camsim-\$1.pid ] && exit 0"
  echo "'$camsim' --init '$init' --did \"\$1\" --password \"pw\${1:8:2}\" --video '$work/v.h264' --login-mode 2 \\"
  echo "  >$work/camsim-\$1.out 2>&1 </dev/null &"
  echo "echo \$! >$work/camsim-\$1.pid"
  echo "for i in \$(seq 300); do grep -q 'camsim ready' $work/camsim-\$1.out && break; sleep 0.05; done"
  echo "[ \"\$1\" = VLM-000025-CAM ] || exit 0"
  echo "curl -s -X POST -H 'Content-Type: application/json' \\"
  echo "  -d '{\"event\":\"device_status\",\"payload\":{\"uuid\":\"VLM-000025-CAM\",\"status\":\"online\"}}' \\"
  echo "  http://127.0.0.1:$control/push >'$work/push.log' 2>&1"
} >"$work/wake.sh"

say "device nodes against cloudsim, rdvsim, camsim and statesim"
VLM_INIT=$init VLM_CONF=$work/cloud.ini timeout 120 ip netns exec "$ns" "$testbin" --gtest_color=no \
  >"$work/client.out" 2>&1 </dev/null
status=$?
sed 's/^/    /' "$work/client.out"
[ $status = 0 ] || fail "device_node_e2e ended with $status"
grep -q "statesim wake id=VLM-000025-CAM" "$work/statesim.out" || fail "statesim got no wake-up line for the sleeping camera"
grep -q "statesim wake id=VLM-000026-CAM" "$work/statesim.out" ||
  fail "statesim got no wake-up line for the camera that never wakes"
# One attempt per transport: one wake-up line per connect, and none once WebRTC has failed for the node.
for id in VLM-000025-CAM VLM-000026-CAM; do
  n=$(grep -c "statesim wake id=$id" "$work/statesim.out")
  [ "$n" = 1 ] || fail "$n wake-up lines for $id, not 1"
done
grep -q "statesim wake id=VLM-000027-CAM" "$work/statesim.out" || fail "the lpsim camera whose probe failed was not woken"
grep -q "statesim wake id=VLM-000024-CAM" "$work/statesim.out" && fail "the lpsim camera that answered its probe was woken"
grep -q '"sent":1' "$work/push.log" 2>/dev/null || fail "cloudsim did not push the online event: $(cat "$work/push.log" 2>/dev/null)"
grep -q "camsim auth did=VLM-000022-CAM refused" "$work/camsim.out" || fail "the doorbell's token was not tried first"

e2e_finish "$work"/camsim*.out "$work/statesim.out"
