#!/usr/bin/env bash
# Makes a small stream with x264 from an ffmpeg lavfi source and compares what
# vdec decodes with what ffmpeg decodes, byte for byte. On a difference it
# names the first differing frame, plane and macroblock.
#
# oracle.sh VDEC OUTDIR NAME WIDTHxHEIGHT FRAMES SOURCE [X264 ARGS...]
# SOURCE is a lavfi graph in which @SIZE@ stands for "size=WxH:rate=25".
# The x264 argument @NONIDR@ makes every picture after the first a non-IDR I
# picture (through a qpfile); @REPEATKEY@ makes one IDR picture and repeats
# its slices FRAMES times after one set of parameter sets, as a camera
# repeating its key frame sends them.
set -euo pipefail
vdec=$1 outdir=$2 name=$3 size=$4 frames=$5 source=$6
shift 6
mkdir -p "$outdir"
args=()
repeat=0
for a in "$@"; do
  if [ "$a" = "@REPEATKEY@" ]; then
    repeat=$frames
    frames=1
  elif [ "$a" = "@NONIDR@" ]; then
    qpfile=$outdir/$name.qpfile
    { echo "0 I"; for ((i = 1; i < frames; i++)); do echo "$i i"; done; } > "$qpfile"
    args+=(--qpfile "$qpfile")
  else
    args+=("$a")
  fi
done
stream=$outdir/$name.264
ref=$outdir/$name.ref.yuv
out=$outdir/$name.out.yuv
w=${size%x*} h=${size#*x}

ffmpeg -nostdin -v error -f lavfi -i "${source//@SIZE@/size=$size:rate=25}" -frames:v "$frames" -pix_fmt yuv420p \
  -f yuv4mpegpipe - | x264 --quiet --demuxer y4m "${args[@]}" -o "$stream" - 2>/dev/null
if [ "$repeat" -gt 0 ]; then
  units() { ffmpeg -nostdin -v error -i "$stream" -c copy -bsf:v "filter_units=pass_types=$1" -f h264 -; }
  { units '7|8'; for ((i = 0; i < repeat; i++)); do units 5; done; } > "$stream.repeated"
  mv "$stream.repeated" "$stream"
fi
ffmpeg -nostdin -v error -threads 1 -i "$stream" -fps_mode passthrough -f rawvideo -pix_fmt yuv420p -y "$ref"
"$vdec" "$stream" "$out"

if cmp -s "$ref" "$out"; then
  # The worker threads give the same pictures.
  "$vdec" --threads 1 "$stream" "$out.threads"
  if ! cmp -s "$out" "$out.threads"; then
    echo "$name: the output with worker threads differs: $(cmp "$out" "$out.threads" 2>&1 | head -1)" >&2
    exit 1
  fi
  echo "$name: $(($(stat -c %s "$out") / (w * h * 3 / 2))) frames identical, with and without worker threads"
  exit 0
fi
cw=$(((w + 1) / 2)) ch=$(((h + 1) / 2))
fs=$((w * h + 2 * cw * ch))
rs=$(stat -c %s "$ref") os=$(stat -c %s "$out")
if [ "$rs" -ne "$os" ]; then
  echo "$name: ffmpeg gives $((rs / fs)) frames, vdec $((os / fs)) frames" >&2
fi
line=$(cmp "$ref" "$out" 2>&1 | head -1 || true)
byte=$(echo "$line" | sed -n 's/.*byte \([0-9]*\).*/\1/p')
if [ -z "$byte" ]; then
  echo "$name: $line" >&2
  exit 1
fi
off=$((byte - 1))
frame=$((off / fs)) rem=$((off % fs))
if [ "$rem" -lt $((w * h)) ]; then
  plane=Y x=$((rem % w)) y=$((rem / w)) mbx=$((rem % w / 16)) mby=$((rem / w / 16))
else
  rem=$((rem - w * h)) plane=U
  if [ "$rem" -ge $((cw * ch)) ]; then rem=$((rem - cw * ch)) plane=V; fi
  x=$((rem % cw)) y=$((rem / cw)) mbx=$((rem % cw / 8)) mby=$((rem / cw / 8))
fi
echo "$name: first difference in frame $frame, plane $plane, sample ($x, $y), macroblock ($mbx, $mby)" >&2
exit 1
