#!/usr/bin/env bash
# The road of scripts/run without a display: scripts/demo-run starts the demo world and the program under Xvfb
# with --demo-report, in a network namespace of its own. The program signs in with the saved demo account,
# lists the devices, opens four cameras in the grid (where this build opens devices), saves a screenshot and a
# report, and ends; then every program of the world is gone.
#
#   demo_headless_test.sh BUILD MEDIA     (BUILD: the build folder; MEDIA: a folder to keep the clips in)
# Exit 0 passed, 1 failed, 77 skipped (no network namespace, Xvfb, node packages or ffmpeg here).
set -u
. "$(dirname "$0")/demo_test_lib.sh"
demo_test_begin demo-headless-test "$0" "$@"

unset DISPLAY WAYLAND_DISPLAY
DEMO_MEDIA=$media DEMO_HEADLESS=1 timeout 150 bash "$root/scripts/demo-run" "$build" "$run" >"$run/out" 2>&1
status=$?
report="$run/demo-report.txt"
shot="$run/demo-report.png"
[ $status = 0 ] || fail "scripts/demo-run ended with $status"
grep -q "^velmora: demo screenshot $shot" "$run/out" || fail "the screenshot's path was not printed"
grep -q "^velmora: demo report $report" "$run/out" || fail "the report's path was not printed"
if [ -f "$report" ]; then
  grep -q "^signed in: demo@velmora.test" "$report" || fail "not signed in"
  grep -q "^devices listed: 6" "$report" || fail "the six devices were not listed"
  grep -q "Front door (VLM-000501-CAM) online" "$report" || fail "the first device is not in the report"
  grep -q "^result: ok" "$report" || fail "the demo did not go through"
  # Four cameras opened in the 2 x 2 grid, every one playing.
  opened=$(sed -n 's/^opened: \([0-9]*\).*/\1/p' "$report")
  [ "${opened:-0}" = 4 ] || fail "opened ${opened:-no} cameras, not 4"
  grep -q "^panes playing: 4" "$report" || fail "not every opened pane plays"
  frames=$(sed -n 's/^frames shown: //p' "$report")
  [ "${frames:-0}" -ge 40 ] || fail "only ${frames:-no} frames shown in 4 panes"
else
  fail "no report"
fi
if [ -f "$shot" ]; then
  demo_check_picture "$shot" "the screenshot"
else
  fail "no screenshot"
fi
demo_check_all_ended
demo_test_end
