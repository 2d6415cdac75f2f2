#!/usr/bin/env bash
# Decoding speed of the H.264 decoder (vdec --bench, single-threaded) beside
# ffmpeg -threads 1 on the same 1080p streams, printed as a ratio:
#   camera   CABAC, IPPP, keyint 50, 4 Mbit/s (what a camera sends)
#   baseline CAVLC Baseline, IPPP
#   high     High, CABAC, 3 B-frames with pyramid, 8x8 transform
# Each decoder runs twice per stream; the faster run counts.
#
# h264_bench.sh VDEC [WORKDIR] [FRAMES]
set -euo pipefail
vdec=$1 dir=${2:-/tmp/h264_bench} frames=${3:-150}
mkdir -p "$dir"

# A scene with camera-like content: detail, slow motion and sensor noise.
source="mandelbrot=size=1920x1080:rate=25,scroll=h=0.002:v=0.001,noise=alls=6:allf=t"
make() {
  local name=$1
  shift
  local out=$dir/$name.264
  if [ ! -s "$out" ]; then
    ffmpeg -nostdin -v error -f lavfi -i "$source" -frames:v "$frames" -pix_fmt yuv420p -f yuv4mpegpipe - |
      x264 --quiet --demuxer y4m "$@" -o "$out" - 2>/dev/null
  fi
  echo "$out"
}
streams=(
  "camera $(make camera --preset veryfast --bframes 0 --keyint 50 --bitrate 4000 --vbv-maxrate 4000 --vbv-bufsize 4000)"
  "baseline $(make baseline --profile baseline --preset fast --keyint 50 --bitrate 4000)"
  "high $(make high --preset medium --bframes 3 --b-pyramid normal --8x8dct --keyint 50 --bitrate 6000)"
)

best() { sort -g | tail -1; }
ours() {  # fps
  for _ in 1 2; do "$vdec" --bench "$1" | tail -1 | sed -n 's/.*fps=\([0-9.]*\).*/\1/p'; done | best
}
theirs() {  # fps from ffmpeg's real time
  for _ in 1 2; do
    ffmpeg -nostdin -threads 1 -benchmark -i "$1" -f null - 2>&1 |
      sed -n 's/.*rtime=\([0-9.]*\)s.*/\1/p' | awk -v n="$frames" '{ printf "%.2f\n", n / $1 }'
  done | best
}

printf '%-10s %10s %12s %8s\n' stream "vdec fps" "ffmpeg fps" ratio
for entry in "${streams[@]}"; do
  read -r name file <<<"$entry"
  a=$(ours "$file")
  b=$(theirs "$file")
  printf '%-10s %10.2f %12.2f %8.3f\n' "$name" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { print a / b }')"
done
