#!/usr/bin/env bash
# The live road as a user walks it, in the demo world under Xvfb: scripts/demo-run starts the world and the
# program with --demo-road live. Once four cameras play, the program clicks the first pane and presses its
# buttons: snapshot, record (ten seconds), talk (the microphone is SDL's disk driver reading a file made
# here) and the right of the pan-tilt pad. Here every step is checked from outside: the picture and the
# recording with ffprobe and ffmpeg, the talkback and the pan-tilt commands in what the camera simulator
# received and logged.
#
#   road_live_test.sh BUILD MEDIA     (BUILD: the build folder; MEDIA: a folder to keep the clips in)
# Exit 0 passed, 1 failed, 77 skipped (no network namespace, Xvfb, node packages or ffmpeg here).
set -u
. "$(dirname "$0")/demo_test_lib.sh"
demo_test_begin road-live-test "$0" "$@"
# The value of a report line "  STEP: ok VALUE ..." (its first word).
step_value() { sed -n "s/^  $1: ok \([^ ]*\).*/\1/p" "$report"; }

# The microphone: 16-bit mono at 8000 Hz, a hum with harmonics whose pitch and loudness move like a voice.
ffmpeg -v error -f lavfi -t 30 -i \
  "aevalsrc=0.25*(sin(2*PI*(150+30*sin(2*PI*0.7*t))*t)+0.5*sin(4*PI*(150+30*sin(2*PI*0.7*t))*t))*(0.6+0.4*sin(2*PI*2.5*t)):s=8000" \
  -f s16le -ac 1 "$run/mic.raw" || { fail "ffmpeg could not make the microphone's sound"; exit 1; }
export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILEIN="$run/mic.raw" SDL_DISKAUDIOFILE=/dev/null

unset DISPLAY WAYLAND_DISPLAY
# The X keyboard library (xkbcommon-x11) copies the keymap's names with strndup past their end.
[ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS=${ASAN_OPTIONS//strict_string_checks=1/strict_string_checks=0}
started=$(date +%Y%m%d%H%M%S)
DEMO_MEDIA=$media DEMO_HEADLESS=1 timeout 200 bash "$root/scripts/demo-run" "$build" "$run" --demo-road live \
  >"$run/out" 2>&1
status=$?
ended=$(date +%Y%m%d%H%M%S)
report="$run/demo-report.txt"
log="$run/world/log"
folder="$run/data/VelmoraData"
[ $status = 0 ] || fail "scripts/demo-run ended with $status"
if [ ! -f "$report" ]; then
  fail "no report"
  report=/dev/null
fi

# 1. Signed in, four cameras playing, the road run without a message box.
grep -q "^signed in: demo@velmora.test" "$report" || fail "not signed in"
grep -q "^panes playing: 4" "$report" || fail "not four panes playing"
grep -q "^road: live" "$report" || fail "the live road did not run"
grep -q "^result: ok" "$report" || fail "the road did not go through: $(grep '^result' "$report")"
grep "^  [a-z -]*: failed" "$report" | while read -r line; do say "FAIL: step $line"; done
grep -q "^  [a-z -]*: failed" "$report" && fail "a step failed"

# The first pane's camera: its UUID from the selection line, its id and P2P id from the world's fixture.
uuid=$(sed -n 's/^  select: ok pane 0: .*(\([^)]*\))$/\1/p' "$report")
id="" did=""
[ -n "$uuid" ] && read -r _ id did _ < <(awk -v u="$uuid" '$1 == "device" && $5 == u' "$run/world/fixture.txt")
[ -n "$id" ] || fail "the first pane's camera (${uuid:-none}) is not in the world's fixture"
clip=$(ls "$media/$id"-0.* 2>/dev/null | head -1)
stream_size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 "$clip" 2>&1)
stream_codec=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$clip" 2>&1)
# "UUID-YYYYMMDDhhmmss.EXT" in the media folder, stamped while the program ran.
check_name() {  # WHAT FILE EXT
  local base=${2##*/} stamp
  [ "${2%/*}" = "$folder" ] || fail "the $1 is not in the media folder $folder: $2"
  if [[ $base =~ ^${uuid}-([0-9]{14})\.$3$ ]]; then
    stamp=${BASH_REMATCH[1]}
    [[ ! $stamp < $started && ! $stamp > $ended ]] || fail "the $1's time $stamp is outside the run ($started-$ended)"
  else
    fail "the $1's name is not $uuid-YYYYMMDDhhmmss.$3: $base"
  fi
}

# 2. The snapshot: a JPEG picture of the stream's size.
shot=$(step_value snapshot)
if [ -n "$shot" ] && [ -f "$shot" ]; then
  check_name snapshot "$shot" jpg
  got=$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$shot" 2>&1)
  [ "$got" = "mjpeg,$stream_size" ] || fail "the snapshot is '$got', not a JPEG of $stream_size"
else
  fail "no snapshot file (${shot:-none})"
fi

# 3. The recording: an MP4 of the stream that decodes cleanly and lasts about ten seconds.
mp4=$(step_value record)
if [ -n "$mp4" ] && [ -f "$mp4" ]; then
  check_name recording "$mp4" mp4
  format=$(ffprobe -v error -show_entries format=format_name -of csv=p=0 "$mp4" 2>&1)
  [[ $format == *mp4* ]] || fail "ffprobe does not read the recording as MP4: $format"
  video=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 "$mp4" 2>&1)
  [ "$video" = "$stream_codec,$stream_size" ] || fail "the recording's video is '$video', not $stream_codec,$stream_size"
  audio=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate -of csv=p=0 "$mp4" 2>&1)
  [ "$audio" = "pcm_alaw,8000" ] || fail "the recording's sound is '$audio', not A-law at 8000 Hz"
  # Picture and sound cover the same time.
  spans=$(ffprobe -v error -show_entries stream=duration -of csv=p=0 "$mp4" 2>&1 | tr '\n' ' ')
  awk -v s="$spans" 'BEGIN { n = split(s, d, " "); exit !(n == 2 && d[1] - d[2] < 0.5 && d[2] - d[1] < 0.5) }' ||
    fail "the recording's tracks last $spans s, not the same"
  errors=$(ffmpeg -v error -i "$mp4" -f null - 2>&1) || fail "ffmpeg could not decode the recording"
  [ -z "$errors" ] || fail "decoding the recording: $(echo "$errors" | head -5)"
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$mp4" 2>&1)
  awk -v d="$duration" 'BEGIN { exit !(d >= 8.5 && d <= 12) }' || fail "the recording lasts '$duration' s, not about 10"
else
  fail "no recording file (${mp4:-none})"
fi

# 4. Talkback: the camera took the microphone's sound (A-law, 8000 bytes a second) for as long as the talk
# button was on, and it is not silence. SDL's disk driver sleeps a buffer's length after reading each buffer,
# so under load the microphone runs up to a few tenths slower than the clock (6.0 s in 6.7 s was seen).
camlog="$log/camsim-$id.log"
grep -q "^camsim talk start did=$did" "$camlog" 2>/dev/null || fail "the camera did not hear a talk start"
bytes=$(sed -n "s/^camsim talk stop did=$did frames=[0-9]* bytes=\([0-9]*\).*/\1/p" "$camlog" 2>/dev/null | tail -1)
talk_s=$(sed -n 's/^  talk: ok for \([0-9.]*\) s.*/\1/p' "$report")
awk -v b="${bytes:-0}" -v s="${talk_s:-0}" 'BEGIN { exit !(s > 2 && b >= 0.6 * 8000 * s && b <= 8000 * (s + 1)) }' ||
  fail "the camera received ${bytes:-no} talkback bytes for ${talk_s:-no} s of talk"
talk="$log/talk-$id.alaw"
if [ -s "$talk" ]; then
  peak=$(ffmpeg -v info -f alaw -ar 8000 -ac 1 -i "$talk" -af volumedetect -f null - 2>&1 |
    sed -n 's/.*max_volume: \(-*[0-9.]*\) dB.*/\1/p')
  awk -v p="${peak:--999}" 'BEGIN { exit !(p > -30) }' || fail "the talkback the camera kept is silent (peak ${peak:-?} dB)"
else
  fail "the camera kept no talkback audio"
fi
others=$(grep -l "^camsim talk start" "$log"/camsim-*.log 2>/dev/null | grep -v "camsim-$id.log")
[ -z "$others" ] || fail "other cameras heard a talk start: $others"

# 5. Pan-tilt: one step right, then stop.
grep -q "^camsim ptz did=$did dir=6 pan=1 tilt=0" "$camlog" 2>/dev/null || fail "the camera did not turn right"
grep -q "^camsim ptz did=$did dir=0 pan=1 tilt=0" "$camlog" 2>/dev/null || fail "the camera did not get the stop"

for png in "$(step_value 'screenshot while recording')" "$run/demo-report.png"; do
  demo_check_picture "$png" "the screenshot '$png'"
done

camsim_log_tail() { [ -n "$id" ] && sed 's/^/    camsim: /' "$camlog" 2>/dev/null | tail -20; }
demo_check_all_ended
demo_test_end camsim_log_tail
