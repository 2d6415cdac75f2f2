#!/usr/bin/env bash
# The demo world of scripts/run as processes (scripts/demo-world), in a network namespace of its own with only
# loopback up: cloudsim signs the demo account in and lists its devices; every camera is logged in at rdvsim
# and answers devcli; an H.264 and an HEVC camera stream video ffprobe reads, with A-law sound; the SD card
# lists recordings of yesterday; cloudsim lists cloud recordings for each of the last days and the object store
# serves their segments. Every program of the world is gone after it ends, both when its standard input closes
# and when it is killed outright.
#
#   demo_world_test.sh TOOLS MEDIA     (TOOLS: the build's tools folder; MEDIA: a folder to keep the clips in)
# Exit 0 passed, 1 failed, 77 skipped (no network namespace, node packages or ffmpeg here).
set -u
tools=${1:-} media=${2:-}
if [ ! -x "$tools/devcli/devcli" ] || [ -z "$media" ]; then
  echo "usage: demo_world_test.sh TOOLS MEDIA" >&2
  exit 2
fi
say() { echo "demo-world-test: [${SECONDS}s] $*"; }
root=$(cd "$(dirname "$0")/../../.." && pwd)
. "$root/tests/lib/own_netns_or_skip.sh"
own_netns_or_skip "$0" "$@"
for c in node ffmpeg ffprobe curl; do command -v $c >/dev/null || { say "SKIP: no $c"; exit 77; }; done
for d in cloudsim s3peer; do
  [ -d "$root/tools/$d/node_modules" ] || { say "SKIP: no packages in tools/$d (scripts/deps)"; exit 77; }
done

work=$(mktemp -d)
world_pid=""
trap '[ -n "$world_pid" ] && kill -KILL "$world_pid" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() {
  say "FAIL: $*"
  failures=$((failures + 1))
}

start_world() {  # [DAYS]: the world on a pipe this script holds as fd 7
  rm -f "$work/in"
  mkfifo "$work/in"
  DEMO_DAYS=${1:-3} DEMO_RECORDS_PER_DAY=1 DEMO_MEDIA=$media "$root/scripts/demo-world" "$tools" "$work/world" <"$work/in" >"$work/world.out" 2>&1 &
  world_pid=$!
  exec 7>"$work/in"
  local end=$((SECONDS + 90))
  until grep -q "demo-world ready" "$work/world.out"; do
    if ! kill -0 "$world_pid" 2>/dev/null || [ $SECONDS -ge $end ]; then
      say "the world did not start:"
      cat "$work/world.out"
      exit 1
    fi
    sleep 0.1
  done
  # shellcheck disable=SC1091
  source "$work/world/world.env"
}

gone_within() {  # SECONDS: every pid of the world's list has ended in time
  local end=$((SECONDS + $1)) pid name left
  while :; do
    left=""
    while read -r pid name; do kill -0 "$pid" 2>/dev/null && left+=" $name($pid)"; done <"$work/world/pids"
    [ -z "$left" ] && return 0
    [ $SECONDS -ge $end ] && { echo "$left"; return 1; }
    sleep 0.1
  done
}

post() {  # PATH JSON
  curl -s -X POST -H 'Content-Type: application/json' -d "$2" "http://127.0.0.1:$DEMO_HTTP$1"
}

start_world
say "world up: $(grep -c . "$work/world/pids") programs"

# --- The service: sign-in, devices, cloud recordings of the last days ------------------------------------------
login=$(post /api/app/auth/login '{"pkgname":"demo","email":"demo@velmora.test","password":"demo-pass","source":"pc"}')
token=$(echo "$login" | sed -n 's/.*"token":"\([^"]*\)".*/\1/p')
[ -n "$token" ] || fail "the demo account did not sign in: $login"
list=$(post /api/app/v1/device/list "{\"pkgname\":\"demo\",\"token\":\"$token\",\"page\":1,\"limit\":\"20\",\"platform\":\"pc\"}")
echo "$list" | grep -q '"total":6' || fail "the account does not list six devices: $list"
echo "$list" | grep -q "rvs::$DEMO_INIT" || fail "the devices do not name rdvsim's init string"
# One recording a day (the test's setting), the newest minutes ago, over the last three days.
from=$(date -d "@$(($(date +%s) - 3 * 86400))" '+%F %T')
to=$(date '+%F %T')
rec=$(post /api/device/record_info "{\"pkgname\":\"demo\",\"token\":\"$token\",\"device_id\":\"502\",
  \"start_time\":\"$from\",\"end_time\":\"$to\"}")
n=$(echo "$rec" | grep -o '"start_time"' | wc -l)
[ "$n" = 3 ] || fail "$n cloud recordings of the last three days, not 3: $rec"
days=$(echo "$rec" | grep -o '"start_time":[0-9]*' | cut -d: -f2 | while read -r t; do date -d "@$t" +%F; done | sort -u | wc -l)
[ "$days" -ge 3 ] || fail "the cloud recordings fall on $days days, not 3"
# A segment of the newest recording, as the object store serves it.
seg=$(cd "$work/world/segments" && find . -name '*.data' | sort | tail -1)
seg=${seg#./}
curl -s -o "$work/seg.data" -H "Authorization: AWS S3RVER:demo" -H "Date: $(date -u '+%a, %d %b %Y %H:%M:%S GMT')" \
  "http://127.0.0.1:$DEMO_S3/velmora/$seg"
cmp -s "$work/seg.data" "$work/world/segments/$seg" || fail "the object store does not serve $seg"
n=$(find "$work/world/segments" -name '*.data' | wc -l)
[ "$n" = $((6 * 3 * 4)) ] || fail "$n cloud segments, not 72"

say "service checked"
# --- The cameras: logged in at rdvsim, streaming, their SD cards -------------------------------------------------
jobs_=()
dev() {  # ID COMMAND...
  local id=$1
  shift
  "$tools/devcli/devcli" --init "$DEMO_INIT" --did "VLM-000$id-CAM" --password "dev${id}pw" "$@"
}
for id in 501 502 503 504 505 506; do
  grep -q "camsim ready" "$work/world/log/camsim-$id.log" || fail "camera $id did not log in at rdvsim"
done
# Side by side: live H.264 and HEVC with sound, yesterday's SD-card list, the two-lens camera's features.
for id in 501 502; do
  dev "$id" live --frames 50 --audio-out "$work/a$id.alaw" "$work/v$id.es" >"$work/live$id.out" 2>&1 &
  jobs_+=($!)
done
yesterday=$(date -d "@$(($(date +%s) - 86400))" +%F)
dev 503 records "$yesterday" >"$work/records.out" 2>&1 &
jobs_+=($!)
dev 506 features >"$work/features.out" 2>&1 &
jobs_+=($!)
for j in "${jobs_[@]}"; do wait "$j" || fail "a devcli run failed (see below)"; done
codec() { ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$1" 2>&1 | head -1; }
[ "$(codec "$work/v501.es")" = h264 ] || fail "camera 501 does not stream H.264: $(codec "$work/v501.es")"
[ "$(codec "$work/v502.es")" = hevc ] || fail "camera 502 does not stream HEVC: $(codec "$work/v502.es")"
for id in 501 502; do
  frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
    "$work/v$id.es" 2>/dev/null | head -1)
  [ "${frames:-0}" -ge 40 ] || fail "camera $id: ffprobe decodes ${frames:-no} frames of 50: $(cat "$work/live$id.out")"
  bytes=$(stat -c %s "$work/a$id.alaw" 2>/dev/null || echo 0)
  [ "$bytes" -ge 3200 ] || fail "camera $id: $bytes bytes of sound"
  dur=$(ffprobe -v error -f alaw -ar 8000 -ac 1 -show_entries format=duration -of csv=p=0 "$work/a$id.alaw" 2>&1)
  case "$dur" in [0-9]*.[0-9]*) ;; *) fail "camera $id: ffprobe cannot read the sound: $dur" ;; esac
done
count=$(sed -n 's/.*devcli records count=\([0-9]*\).*/\1/p' "$work/records.out" | head -1)
[ "${count:-0}" -ge 1 ] || fail "no SD-card recordings of $yesterday: $(head -5 "$work/records.out")"
grep -q 'channels=2 .*sd_card=1' "$work/features.out" ||
  fail "the two-lens camera does not report two channels: $(head -c 400 "$work/features.out")"

say "cameras checked"
# --- A camera killed and the world told at once, before it can have noticed: the camera starts again, and again
# the next time; a signal with no camera ended starts nothing ----------------------------------------------------
restarted() { grep -c "camera 504 started again" "$work/world.out"; }
for round in 1 2; do
  pid=$(awk '$2 == "camsim-504" {p = $1} END {print p}' "$work/world/pids")
  kill -KILL "$pid"
  kill -USR1 "$world_pid"
  end=$((SECONDS + 20))
  until [ "$(restarted)" -ge $round ] && [ "$(grep -c "camsim ready" "$work/world/log/camsim-504.log")" -gt $round ]; do
    if [ $SECONDS -ge $end ]; then
      fail "round $round: camera 504 (camsim $pid, killed) was not started again and logged in"
      break
    fi
    sleep 0.1
  done
done
[ "$(grep -c "camsim-504 ended" "$work/world.out")" = 2 ] || fail "the world did not report each camsim of 504 ending"
kill -USR1 "$world_pid"
sleep 2
[ "$(restarted)" = 2 ] || fail "a signal with no camera ended started one: $(restarted) restarts"
kill -0 "$world_pid" 2>/dev/null || fail "the world ended on its signals"
# --- Ending: standard input closed ------------------------------------------------------------------------------
exec 7>&-
left=$(gone_within 10) || fail "still running after the world ended:$left"
wait "$world_pid" 2>/dev/null
world_pid=""

say "the world ended"
# --- Ending: the world killed outright (its programs watch its pipe); one day of recordings starts faster ------
start_world 1
kill -KILL "$world_pid"
wait "$world_pid" 2>/dev/null
world_pid=""
left=$(gone_within 10) || fail "still running after the world was killed:$left"
exec 7>&-

if [ $failures -ne 0 ]; then
  say "$failures failure(s); the world said:"
  sed 's/^/    /' "$work/world.out"
  exit 1
fi
say "passed"
