#!/usr/bin/env bash
# The 3x3 grid end to end: rdvsim and camsim (nine cameras streaming 1080p25
# H.264) in a network namespace of their own with only loopback up, and
# grid_bench in a window under Xvfb in the same namespace.
#
#   grid_bench.sh BUILD_DIR [SECONDS]     e.g. grid_bench.sh build/release 15
set -u
build=${1:?usage: grid_bench.sh BUILD_DIR [SECONDS]}
secs=${2:-10}
rdvsim=$build/tools/rdvsim/rdvsim camsim=$build/tools/camsim/camsim bench=$build/bench/app/grid_bench
for f in "$rdvsim" "$camsim" "$bench"; do [ -x "$f" ] || { echo "missing $f" >&2; exit 2; }; done

readonly LIMIT_SEC=$((secs + 120))
readonly PW=bench-pw
source "$(dirname "$0")/../../tests/sdk/device/e2e/e2e_lib.sh"
e2e_begin grid_bench vgb
command -v xvfb-run >/dev/null || { say "no xvfb-run"; exit 77; }

say "making 1080p25 H.264 (10 s, GOP 50)"
media -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 10 -c:v libx264 -preset veryfast -b:v 4M -g 50 -bf 0 \
  -f h264 "$work/v.h264" || { say "ffmpeg could not make the media"; exit 1; }
e2e_start_rdvsim "$rdvsim"
dids=()
for n in 31 32 33 34 35 36 37 38 39; do dids+=(--did "VLM-0000$n-CAM"); done
ip netns exec "$ns" "$camsim" --init "$init" --password $PW --video "$work/v.h264" --login-mode 2 "${dids[@]}" \
  >"$work/camsim.out" 2>&1 </dev/null &
pids+=($!)
wait_line "$work/camsim.out" "camsim ready" 30 || { say "camsim did not start"; cat "$work/camsim.out"; exit 1; }

VLM_INIT=$init VLM_PW=$PW VLM_MEDIA=$work/v.h264 QT_QPA_PLATFORM=xcb \
  ip netns exec "$ns" xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" "$bench" "$secs" </dev/null
status=$?
[ $status = 0 ] || fail "grid_bench ended with $status"
e2e_finish "$work/camsim.out"
