#!/usr/bin/env bash
# The video grid with real cameras: rdvsim and two camsims as processes in a
# network namespace of their own with only loopback up, and grid_e2e (the grid
# and the opener in a window) under Xvfb in the same namespace: nine cameras
# live in a 3x3 grid checked on two screenshots, open, move, close, keep the
# connection and reconnect, the idle close, the SD-card day query, and a camera
# killed while it streams (countdown, then reconnect).
#
#   grid_e2e.sh RDVSIM CAMSIM TESTBIN XCB_LSAN_SUPP
# Exit 0 passed, 1 failed, 77 skipped (no namespace, ffmpeg or Xvfb here).
set -u

rdvsim=${1:-} camsim=${2:-} testbin=${3:-} supp=${4:-}
if [ ! -x "$rdvsim" ] || [ ! -x "$camsim" ] || [ ! -x "$testbin" ]; then
  echo "usage: grid_e2e.sh RDVSIM CAMSIM TESTBIN [XCB_LSAN_SUPP]" >&2
  exit 2
fi

readonly LIMIT_SEC=100
readonly PW=grid-pw
source "$(dirname "$0")/../../sdk/device/e2e/e2e_lib.sh"
e2e_begin grid vgr
command -v xvfb-run >/dev/null || { say "SKIP: no xvfb-run"; exit 77; }

media -f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 25 -f h264 "$work/v.h264" ||
  { say "ffmpeg could not make the test media"; exit 1; }

e2e_start_rdvsim "$rdvsim"

start_camsim() {  # OUT [camsim options]
  local out=$1
  shift
  ip netns exec "$ns" "$camsim" --init "$init" --password $PW --video "$work/v.h264" --login-mode 2 "$@" \
    >"$out" 2>&1 </dev/null &
  pids+=($!)
  camsim_pid=$!
  wait_line "$out" "camsim ready" 30 || { fail "camsim did not get ready: $(cat "$out")"; return 1; }
}

dids=()
for n in 31 32 33 34 35 36 37 38 39; do dids+=(--did "VLM-0000$n-CAM"); done
start_camsim "$work/camsim.out" "${dids[@]}" || exit 1
start_camsim "$work/camsim40.out" --did VLM-000040-CAM --records-per-day 0 || exit 1
lone_pid=$camsim_pid

mkdir -p "$work/signal" "$work/shots"
say "the grid under Xvfb"
# libxcb hands Qt strings that are not NUL-terminated to strndup, which strict string checks report.
VLM_INIT=$init VLM_PW=$PW VLM_SIGNAL_DIR=$work/signal VLM_SHOT_DIR=${VLM_KEEP_SHOT:-$work/shots} \
  QT_QPA_PLATFORM=xcb LSAN_OPTIONS=suppressions=$supp \
  ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}:strict_string_checks=0 \
  timeout 90 ip netns exec "$ns" xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "$testbin" --gtest_color=no \
  >"$work/grid.out" 2>&1 </dev/null &
client=$!
end=$((SECONDS + 80))
until [ -f "$work/signal/kill" ] || [ $SECONDS -ge $end ] || ! kill -0 $client 2>/dev/null; do sleep 0.05; done
if [ -f "$work/signal/kill" ]; then
  kill -KILL "$lone_pid"
  wait "$lone_pid" 2>/dev/null
  start_camsim "$work/camsim40b.out" --did VLM-000040-CAM --records-per-day 0 && touch "$work/signal/restarted"
fi
wait $client
status=$?
sed 's/^/    /' "$work/grid.out"
[ $status = 0 ] || fail "grid_e2e ended with $status"
grep -q "PASSED.* 5 tests" "$work/grid.out" || fail "not every grid test passed"

e2e_finish "$work/camsim.out" "$work/camsim40.out"
