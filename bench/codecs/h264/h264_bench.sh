#!/usr/bin/env bash
# Decoding speed of the H.264 decoder (vdec --bench, single-threaded and with
# its four worker threads) beside ffmpeg -threads 1 and -threads 4 on the same
# streams, printed with the ratios of like to like:
#   camera   1080p CABAC, IPPP, keyint 50, 4 Mbit/s (what a camera sends)
#   baseline 1080p CAVLC Baseline, IPPP
#   high     1080p High, CABAC, 3 B-frames with pyramid, 8x8 transform
#   slices4  1080p as camera, 4 slices per picture (what the workers share)
#   fields   the largest field-picture conformance stream (HPCVFL_BRCM_A,
#            CIF, CAVLC field pairs)
# Each decoder runs twice per stream; the faster run counts.
#
# h264_bench.sh VDEC [WORKDIR] [FRAMES]
set -euo pipefail
vdec=$1 dir=${2:-/tmp/h264_bench} frames=${3:-150}
mkdir -p "$dir"
data=$(cd "$(dirname "$0")/../../.." && pwd)/tests/data/conformance/h264

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
  "slices4 $(make slices4 --preset veryfast --bframes 0 --keyint 50 --bitrate 4000 --slices 4)"
  "fields $data/conformance/HPCVFL_BRCM_A.264 300"
)

best() { sort -g | tail -1; }
ours() {  # fps; $2 is vdec's --threads value
  for _ in 1 2; do "$vdec" --threads "$2" --bench "$1" | tail -1 | sed -n 's/.*fps=\([0-9.]*\).*/\1/p'; done | best
}
theirs() {  # fps from ffmpeg's real time; $2 threads, $3 frames
  for _ in 1 2; do
    ffmpeg -nostdin -threads "$2" -benchmark -i "$1" -f null - 2>&1 |
      sed -n 's/.*rtime=\([0-9.]*\)s.*/\1/p' | awk -v n="$3" '{ printf "%.2f\n", n / $1 }'
  done | best
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

printf '%-9s %9s %9s %9s %9s %8s %8s\n' stream "vdec" "vdec w4" "ffmpeg t1" "ffmpeg t4" "ratio 1" "ratio 4"
for entry in "${streams[@]}"; do
  read -r name file count <<<"$entry"
  count=${count:-$frames}
  a=$(ours "$file" 0)
  aw=$(ours "$file" 1)
  b=$(theirs "$file" 1 "$count")
  bw=$(theirs "$file" 4 "$count")
  printf '%-9s %9.2f %9.2f %9.2f %9.2f %8s %8s\n' "$name" "$a" "$aw" "$b" "$bw" "$(ratio "$a" "$b")" "$(ratio "$aw" "$bw")"
done
echo "fps; vdec w4 = vdec --threads 1 (four worker threads); ratio 1 = vdec / ffmpeg -threads 1, ratio 4 = vdec w4 / ffmpeg -threads 4"
