#!/usr/bin/env bash
# The device link end to end: the rendezvous simulator (rdvsim), the camera
# simulator (camsim) and the command-line client (devcli) as processes in a
# network namespace of their own with only loopback up, so rdvsim's fixed
# ports never meet another test's. Test media are made with ffmpeg (x264,
# x265, A-law) at the start.
#
#   devlink_e2e.sh media|control RDVSIM CAMSIM DEVCLI
# media:   connect and authenticate, state queries, live video and audio byte for byte, SD-card list and
#          playback, talkback.
# control: every other command of the catalogue, a client and a camera that die mid-stream, AAC audio.
# Exit 0 passed, 1 failed, 77 skipped (no namespace or no ffmpeg here).
# Any sanitizer report from any of the programs fails the suite.
set -u

suite=${1:-} rdvsim=${2:-} camsim=${3:-} devcli=${4:-}
if [[ $suite != media && $suite != control ]] || [ ! -x "$rdvsim" ] || [ ! -x "$camsim" ] || [ ! -x "$devcli" ]; then
  echo "usage: devlink_e2e.sh media|control RDVSIM CAMSIM DEVCLI" >&2
  exit 2
fi

readonly LIMIT_SEC=200
readonly CAM1=VLM-000001-CAM CAM2=VLM-000002-CAM CAM3=VLM-000003-CAM PW=s3cret-pw
source "$(dirname "$0")/e2e_lib.sh"
e2e_begin devlink vdl

# --- Media ---------------------------------------------------------------------
media -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 25 -f h264 "$work/v.h264" &&
  media -f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v libx265 -preset ultrafast -g 25 \
    -x265-params log-level=none -f hevc "$work/v.h265" &&
  media -f lavfi -i sine=frequency=440:sample_rate=8000 -t 2 -ar 8000 -ac 1 -f alaw "$work/a.alaw" &&
  media -f lavfi -i sine=frequency=330:sample_rate=16000 -t 2 -ac 1 -c:a aac -b:a 32k -f adts "$work/a.aac" ||
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

start_camsim "$work/camsim.out" --did $CAM1 --did $CAM2 --video "$work/v.h264" --video "$work/v.h265" \
  --audio "$work/a.alaw" --talk-out "$work/talk.out" --event-every 300 --login-mode 2 || exit 1

run=0
# cli EXPECT_STATUS [devcli options and command]: runs devcli, output in $out.
cli() {
  local expect=$1
  shift
  run=$((run + 1))
  out="$work/devcli-$run.out"
  timeout 60 ip netns exec "$ns" "$devcli" --init "$init" "$@" >"$out" 2>&1 </dev/null
  local status=$?
  if [ "$status" != "$expect" ]; then
    fail "devcli $* ended with $status, not $expect:"
    sed 's/^/    /' "$out"
    return 1
  fi
}
has() { grep -q -- "$1" "$out" || { fail "no \"$1\" from devcli run $run:"; sed 's/^/    /' "$out"; }; }
cam=(--did $CAM1 --password $PW)

if [ "$suite" = media ]; then
say "connect and authenticate: right and wrong password, unknown device"
cli 0 "${cam[@]}" features && has "channels=2 combined=1 sd_card=1 ptz=0x5" && has "type=camsim"
cli 1 --did $CAM1 --password wrong features && has "Authentication failed (-10002)"
cli 1 --did VLM-000099-CAM --password $PW features && has "Device is offline (-10008)"
say "state queries: answers from the servers, no session behind them"
cli 0 --did $CAM1 query && has "devcli query answer=65536 online"
cli 1 --did VLM-000099-CAM query && has "Device is offline (-10008)"
grep -q "camsim auth did=$CAM1 refused" "$work/camsim.out" || fail "camsim did not refuse the wrong password"

say "live video on two channels at once with audio: every frame's bytes are the file's"
if cli 0 "${cam[@]}" live --channel 0 --channel 1 --frames 50 --audio-out "$work/live.alaw" "$work/c0" "$work/c1"; then
  has "live channel=0 frames=50 bytes=$(stat -c %s "$work/v.h264") codec=H264"
  has "live channel=1 frames=50 bytes=$(stat -c %s "$work/v.h265") codec=HEVC"
  cmp -s "$work/c0" "$work/v.h264" || fail "channel 0 differs from the H.264 file"
  cmp -s "$work/c1" "$work/v.h265" || fail "channel 1 differs from the HEVC file"
  alen=$(stat -c %s "$work/live.alaw")
  [ "$alen" -gt 0 ] && cmp -s -n $((alen < 16000 ? alen : 16000)) "$work/live.alaw" "$work/a.alaw" ||
    fail "live audio differs from the A-law file"
fi
say "through rdvsim's UDP and TCP relays: the session says Relay, the frames are still the file's"
for mode in 30 124; do
  if cli 0 --mode $mode "${cam[@]}" live --frames 50 "$work/relay$mode"; then
    has "devcli connected type=Relay"
    cmp -s "$work/relay$mode" "$work/v.h264" || fail "mode $mode: channel 0 differs from the H.264 file"
  fi
done
say "the second camera of the same camsim, looping its file"
cli 0 --did $CAM2 --password $PW live --frames 75 "$work/c2" && has "frames=75"
head -c "$(stat -c %s "$work/v.h264")" "$work/c2" | cmp -s - "$work/v.h264" || fail "camera 2 did not start with the file"

say "SD card: a day's list, playback from a time with speed, stop"
cli 0 "${cam[@]}" records 2026-12-10 && has "records count=24" && has "record 2026-12-10T05:00:00 duration=600 kind=2"
if cli 0 "${cam[@]}" playback 2026-12-10T05:00:01 --frames 40 --speed 4 --audio-out "$work/pb.alaw" "$work/pb"; then
  has "playback video frames=40" && has "first_ts=18001000" && has "playback audio frames="
  grep -q "camsim playback speed=4 did=$CAM1" "$work/camsim.out" || fail "camsim did not take the speed step"
  grep -q "camsim playback stop did=$CAM1" "$work/camsim.out" || fail "camsim did not stop the playback"
fi
cli 1 "${cam[@]}" raw 0x31A 030000001000000000000000ea070c0a040c1e0000000000 && has "Inalid command parameter (-10103)"

say "talkback bytes arrive at camsim intact"
if cli 0 "${cam[@]}" talk "$work/a.alaw"; then
  wait_line "$work/camsim.out" "camsim talk stop did=$CAM1 frames=50 bytes=16000" 10 || fail "camsim counted other talkback"
  cmp -s "$work/talk.out" "$work/a.alaw" || fail "the talkback camsim wrote differs from the file sent"
fi

fi

if [ "$suite" = control ]; then
say "every other command of the catalogue"
cli 0 "${cam[@]}" ptz right && has 'event {"type":"ptz","pan":1,"tilt":0}'
cli 0 "${cam[@]}" ptz up
grep -q "camsim ptz did=$CAM1 dir=1 pan=1 tilt=1" "$work/camsim.out" || fail "camsim lost its pan-tilt position"
cli 0 "${cam[@]}" lens 7 8 9 && has "lens 7 8 9"
cli 0 "${cam[@]}" main-channel 1 && has "main-channel 1"
cli 1 "${cam[@]}" main-channel 3 && has "Inalid command parameter (-10103)"
cli 0 "${cam[@]}" quality 0 sub
cli 0 "${cam[@]}" notice live
cli 0 "${cam[@]}" notice sd
cli 0 "${cam[@]}" doorbell
cli 0 "${cam[@]}" events 1 && has 'event {"type":"motion"'
cli 0 "${cam[@]}" raw 0x446 0000000000000000 && has "reply length=0"
cli 1 "${cam[@]}" raw 0x8000 010203 && has "Inalid command parameter (-10103)"
cli 1 "${cam[@]}" raw 0x7770 && has "Unsupported command (-10102)"

say "a client that dies mid-stream: the camera serves the next one"
ip netns exec "$ns" "$devcli" --init "$init" "${cam[@]}" live --frames 100000 "$work/dying" >"$work/dying.out" 2>&1 </dev/null &
dying=$!
sleep 1.5
kill -KILL $dying 2>/dev/null
wait $dying 2>/dev/null
cli 0 "${cam[@]}" live --frames 10 "$work/after" && has "frames=10"

say "a camera with AAC audio, which then dies mid-stream: the client ends with the link's error"
start_camsim "$work/camsim3.out" --did $CAM3 --video "$work/v.h264" --audio "$work/a.aac" --alive 6 &&
  {
    if cli 0 --did $CAM3 --password $PW live --frames 10 --audio-out "$work/aac.out" "$work/c3"; then
      has "live audio frames=" && has "codec=AAC"
      alen=$(stat -c %s "$work/aac.out")
      [ "$alen" -gt 0 ] && cmp -s -n "$alen" "$work/aac.out" "$work/a.aac" || fail "AAC frames differ from the file"
    fi
    ip netns exec "$ns" "$devcli" --init "$init" --did $CAM3 --password $PW --alive 6 live --frames 100000 "$work/cut" \
      >"$work/cut.out" 2>&1 </dev/null &
    client=$!
    end=$((SECONDS + 20))
    until [ "$(grep -c "camsim video start" "$work/camsim3.out")" -ge 2 ] || [ $SECONDS -ge $end ]; do sleep 0.05; done
    [ $SECONDS -lt $end ] || fail "camera 3 never streamed to the second client"
    sleep 0.5
    kill -KILL "$camsim_pid"
    wait "$camsim_pid" 2>/dev/null
    waited=0
    while kill -0 $client 2>/dev/null && [ $waited -lt 300 ]; do sleep 0.1; waited=$((waited + 1)); done
    if kill -0 $client 2>/dev/null; then
      fail "devcli still runs 30 s after its camera died"
      kill -KILL $client
    fi
    wait $client
    status=$?
    [ $status = 1 ] || fail "devcli ended with $status after its camera died"
    grep -Eq "live channel=0 failed: .* \(-100[0-9]{2}\)" "$work/cut.out" ||
      { fail "devcli did not name the link's error"; sed 's/^/    /' "$work/cut.out"; }
  }

fi

e2e_finish "$work/camsim.out"
