#!/usr/bin/env bash
# HEVC decode speed at 1080p: vdec --bench beside ffmpeg -threads 1 on the
# same streams in the same run, as frames per second and their ratio; then
# the threaded decoder (vdec --threads 1, four workers) beside ffmpeg
# -threads 4 on the camera-like and the x265 medium streams.
# Streams (made once with x265 and kept in WORKDIR): a camera-like IPPP
# stream at 3 Mbit/s, x265 medium at CRF 23, and an intra-only stream.
# usage: hevc_bench.sh VDEC WORKDIR [FRAMES] [RUNS]
set -u
vdec=$(readlink -f "$1") work=$2 frames=${3:-100} runs=${4:-2}
mkdir -p "$work"
cd "$work" || exit 1

src=src_${frames}.yuv
make_stream() {  # name x265-options...
  local name=$1
  shift
  [[ -s $name.265 ]] && return 0
  if [[ ! -s $src ]]; then
    # synthetic content with sensor-like noise, so that no stream is trivially cheap
    ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=6:allf=t:all_seed=5" \
      -frames:v "$frames" -pix_fmt yuv420p -f rawvideo -y "$src" || return 1
  fi
  x265 --input "$src" --input-res 1920x1080 --fps 25 --frames "$frames" --log-level error "$@" -o "$name.265" \
    >/dev/null 2>&1 || { echo "x265 failed for $name" >&2; return 1; }
}

make_stream camera_ippp --preset fast --bitrate 3000 --vbv-maxrate 3000 --vbv-bufsize 3000 --bframes 0 --keyint 50 || exit 1
make_stream medium_crf23 --preset medium --crf 23 || exit 1
make_stream intra_only --preset fast --crf 23 --keyint 1 || exit 1
rm -f "$src"

best() { sort -g | tail -1; }

# fps of vdec and of ffmpeg on one stream: "n ours theirs ratio"
measure() {  # stream vdec-threads ffmpeg-threads
  local s=$1 ours theirs n ratio
  ours=$(for ((i = 0; i < runs; ++i)); do
    "$vdec" --threads "$2" --bench "$s" | tail -1 | sed -n 's/.*fps=\([0-9.]*\).*/\1/p'
  done | best)
  n=$("$vdec" --bench "$s" | tail -1 | sed -n 's/frames=\([0-9]*\).*/\1/p')
  theirs=$(for ((i = 0; i < runs; ++i)); do
    ffmpeg -nostdin -threads "$3" -benchmark -i "$s" -f null - 2>&1 | sed -n 's/.*rtime=\([0-9.]*\)s.*/\1/p' |
      awk -v n="$n" '{ if ($1 > 0) printf "%.2f\n", n / $1 }'
  done | best)
  ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }')
  echo "$n $ours $theirs $ratio"
}

printf '%-14s %7s %11s %11s %7s\n' stream frames "vdec fps" "ffmpeg fps" ratio
for name in camera_ippp medium_crf23 intra_only; do
  read -r n ours theirs ratio < <(measure "$name.265" 0 1)
  printf '%-14s %7s %11s %11s %7s\n' "$name" "$n" "$ours" "$theirs" "$ratio"
done
echo
printf '%-14s %7s %17s %17s %7s\n' stream frames "vdec --threads 1" "ffmpeg -threads 4" ratio
for name in camera_ippp medium_crf23; do
  read -r n ours theirs ratio < <(measure "$name.265" 1 4)
  printf '%-14s %7s %17s %17s %7s\n' "$name" "$n" "$ours" "$theirs" "$ratio"
done
