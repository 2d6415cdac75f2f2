#!/usr/bin/env bash
# The device session facade end to end: rdvsim and camsim as processes in a
# network namespace of their own with only loopback up, and p2p_client_e2e
# (CP2pClient into a recording fake sink) against them: live video on two
# lenses with sound, SD-card list and playback with seek and speed, talkback,
# pan-tilt and the other commands, close while streaming.
#
#   p2p_client_e2e.sh RDVSIM CAMSIM TESTBIN
# Exit 0 passed, 1 failed, 77 skipped (no namespace or no ffmpeg here).
# Any sanitizer report from any of the programs fails the suite.
set -u

rdvsim=${1:-} camsim=${2:-} testbin=${3:-}
if [ ! -x "$rdvsim" ] || [ ! -x "$camsim" ] || [ ! -x "$testbin" ]; then
  echo "usage: p2p_client_e2e.sh RDVSIM CAMSIM TESTBIN" >&2
  exit 2
fi

readonly LIMIT_SEC=120
readonly CAM1=VLM-000011-CAM PW=s3cret-pw
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin p2pclient vpc

# --- Media ---------------------------------------------------------------------
media -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 25 -f h264 "$work/v.h264" &&
  media -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v libx265 -preset ultrafast -g 25 \
    -x265-params log-level=none -f hevc "$work/v.h265" &&
  media -f lavfi -i sine=frequency=440:sample_rate=8000 -t 2 -ar 8000 -ac 1 -f alaw "$work/a.alaw" ||
  { say "ffmpeg could not make the test media"; exit 1; }

# --- Processes -----------------------------------------------------------------
e2e_start_rdvsim "$rdvsim"

start_camsim() {  # OUT [camsim options]
  local out=$1
  shift
  ip netns exec "$ns" "$camsim" --init "$init" --password $PW "$@" >"$out" 2>&1 </dev/null &
  pids+=($!)
  camsim_pid=$!
  wait_line "$out" "camsim ready" 30 || { fail "camsim did not get ready: $(cat "$out")"; return 1; }
}

start_camsim "$work/camsim.out" --did $CAM1 --video "$work/v.h264" --video "$work/v.h265" \
  --audio "$work/a.alaw" --login-mode 2 || exit 1

say "CP2pClient against camsim"
VLM_INIT=$init VLM_DID=$CAM1 VLM_PW=$PW timeout 100 ip netns exec "$ns" "$testbin" --gtest_color=no \
  --gtest_filter=-*Reconnect* >"$work/client.out" 2>&1 </dev/null
status=$?
sed 's/^/    /' "$work/client.out"
[ $status = 0 ] || fail "p2p_client_e2e ended with $status"
wait_line "$work/camsim.out" "camsim talk stop did=$CAM1 frames=25 bytes=8000" 5 ||
  fail "camsim did not count the 25 talkback blocks"
grep -q "camsim ptz did=$CAM1 dir=3" "$work/camsim.out" || fail "camsim did not take the pan-tilt direction"
grep -q "camsim playback speed=1 did=$CAM1" "$work/camsim.out" || fail "camsim did not take the speed step"

say "reconnect after camsim is killed and started again"
mkdir -p "$work/signal"
VLM_INIT=$init VLM_DID=$CAM1 VLM_PW=$PW VLM_SIGNAL_DIR=$work/signal timeout 100 ip netns exec "$ns" "$testbin" \
  --gtest_color=no --gtest_filter=*Reconnect* >"$work/reconnect.out" 2>&1 </dev/null &
client=$!
end=$((SECONDS + 30))
until [ -f "$work/signal/kill" ] || [ $SECONDS -ge $end ]; do sleep 0.05; done
if [ -f "$work/signal/kill" ]; then
  kill -KILL "$camsim_pid"
  wait "$camsim_pid" 2>/dev/null
  start_camsim "$work/camsim2.out" --did $CAM1 --video "$work/v.h264" --login-mode 2 && touch "$work/signal/restarted"
else
  fail "the reconnect test never asked for the camera to die"
fi
wait $client
status=$?
sed 's/^/    /' "$work/reconnect.out"
[ $status = 0 ] || fail "the reconnect test ended with $status"
grep -q "OK \] P2pClientE2e.Reconnect" "$work/reconnect.out" || fail "the reconnect test did not run"

e2e_finish "$work/camsim.out"
