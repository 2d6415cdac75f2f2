#!/usr/bin/env bash
# SD-card playback from the timeline end to end: rdvsim and camsim as processes
# in a network namespace of their own with only loopback up, and the test
# program (timeline, playback glue and a real media sink; the play controls on a
# live view) against them.
#
#   sd_playback_e2e.sh RDVSIM CAMSIM TESTBIN SKIN
# Exit 0 passed, 1 failed, 77 skipped (no namespace or no ffmpeg here).
set -u

rdvsim=${1:-} camsim=${2:-} testbin=${3:-} skin=${4:-}
if [ ! -x "$rdvsim" ] || [ ! -x "$camsim" ] || [ ! -x "$testbin" ]; then
  echo "usage: sd_playback_e2e.sh RDVSIM CAMSIM TESTBIN SKIN" >&2
  exit 2
fi

readonly LIMIT_SEC=90
readonly CAM=VLM-000027-CAM PW=pb-pass-27
source "$(dirname "$0")/../sdk/device/e2e/e2e_lib.sh"
e2e_begin sdplayback vsd

media -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -pix_fmt yuv420p -c:v libx264 -preset ultrafast -g 25 -f h264 "$work/v.h264" ||
  { say "ffmpeg could not make the test media"; exit 1; }

e2e_start_rdvsim "$rdvsim"
ip netns exec "$ns" "$camsim" --init "$init" --did $CAM --password $PW --video "$work/v.h264" \
  --login-mode 2 >"$work/camsim.out" 2>&1 </dev/null &
pids+=($!)
wait_line "$work/camsim.out" "camsim ready" 30 || { fail "camsim did not get ready: $(cat "$work/camsim.out")"; exit 1; }

say "timeline against camsim"
VLM_INIT=$init VLM_DID=$CAM VLM_PW=$PW VLM_SKIN=$skin QT_QPA_PLATFORM=offscreen timeout 60 ip netns exec "$ns" "$testbin" \
  --gtest_color=no >"$work/client.out" 2>&1 </dev/null
status=$?
sed 's/^/    /' "$work/client.out"
[ $status = 0 ] || fail "the test program ended with $status"
grep -q "camsim playback" "$work/camsim.out" || fail "camsim saw no playback"
grep -q "camsim ptz did=$CAM dir=6" "$work/camsim.out" || fail "camsim did not take the pan-tilt press"
grep -q "camsim ptz did=$CAM dir=0" "$work/camsim.out" || fail "camsim did not take the pan-tilt release"

e2e_finish "$work/camsim.out"
