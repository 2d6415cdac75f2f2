#!/usr/bin/env bash
# The playback and reconnect road through the window: scripts/demo-run starts the demo world and the program
# under Xvfb with --demo-road playback, in a network namespace of its own. Signed in with the saved demo
# account, the program opens a camera in SD-card mode and picks two times on the timeline, opens it in cloud
# mode and picks yesterday in the date picker, then opens another camera live. When the program asks, this
# script kills that camera's camsim mid-stream and, once the pane counts down to its reconnect, has the world
# start the camera again; the pane must reconnect and play. The program's report gives each step.
#
#   road_playback_test.sh BUILD MEDIA     (BUILD: the build folder; MEDIA: a folder to keep the clips in)
# Exit 0 passed, 1 failed, 77 skipped (no network namespace, Xvfb, node packages or ffmpeg here).
set -u
. "$(dirname "$0")/demo_test_lib.sh"
demo_test_begin road-playback-test "$0" "$@"

# Two days of one cloud recording each keep the world's start short. X11's keymap library reads past a
# string's end in strndup at start-up (not ours).
unset DISPLAY WAYLAND_DISPLAY
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}:strict_string_checks=0
DEMO_DAYS=2 DEMO_RECORDS_PER_DAY=1 DEMO_MEDIA=$media DEMO_HEADLESS=1 \
  timeout 280 bash "$root/scripts/demo-run" "$build" "$run" --demo-road playback >"$run/out" 2>&1 &
runner=$!

# The program asks for the camera to go away and to come back.
killed="" restarted=""
while kill -0 "$runner" 2>/dev/null; do
  if [ -z "$killed" ]; then
    id=$(sed -n 's/^velmora: road kill VLM-000\([0-9]*\)-CAM$/\1/p' "$run/out" | head -1)
    if [ -n "$id" ]; then
      pid=$(awk -v n="camsim-$id" '$2 == n {p = $1} END {print p}' "$run/world/pids")
      if [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; then
        killed=$id
        say "camera $id (camsim $pid) killed"
      else
        fail "no camsim of camera $id to kill"
        killed=none
      fi
    fi
  elif [ -z "$restarted" ] && grep -q "^velmora: road restart" "$run/out" &&
    grep -q "demo-world: camsim-$killed ended" "$run/out"; then
    # Once the world saw its camsim end, it starts the camera again on SIGUSR1.
    # shellcheck disable=SC1091
    world=$(. "$run/world/world.env" && echo "${DEMO_WORLD_PID:-}")
    kill -USR1 "$world" 2>/dev/null || fail "the world ($world) could not be told to start the camera again"
    restarted=1
    say "the world was asked to start camera $killed again"
  fi
  sleep 0.1
done
wait "$runner"
status=$?

report="$run/demo-report.txt"
[ $status = 0 ] || fail "scripts/demo-run ended with $status"
if [ -f "$report" ]; then
  grep -q "^signed in: demo@velmora.test" "$report" || fail "not signed in"
  for step in list sd-open sd-pick sd-seek cloud-day live-open live-countdown live-reconnect; do
    grep -q "^step $step: ok" "$report" || fail "step $step: $(grep "^step $step:" "$report" || echo "not reached")"
  done
  grep -q "^message boxes: 0" "$report" || fail "message boxes showed: $(sed -n '/^message boxes/,/^screenshot/p' "$report")"
  grep -q "^result: ok" "$report" || fail "the road did not go through"
  # The countdown names the broken link and the seconds left.
  grep -q "^step live-countdown: ok .*Try [1-5] seconds later" "$report" || fail "the pane did not show the countdown"
else
  fail "no report"
fi
[ -n "$killed" ] || fail "the program never asked for the camera to go away"
grep -q "camera $killed started again" "$run/out" || fail "the world did not start camera $killed again"
for tag in sd countdown; do
  demo_check_picture "$run/demo-report-$tag.png" "the $tag screenshot"
done
demo_check_all_ended
demo_test_end
