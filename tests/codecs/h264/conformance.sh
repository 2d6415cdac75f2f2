#!/usr/bin/env bash
# Decodes one conformance stream with vdec and checks the MD5 of the output
# against decoded_md5.tsv; on a mismatch names the first wrong frame from the
# per-frame checksums.
#
# conformance.sh VDEC DATADIR STREAM [VDEC OPTIONS...] (STREAM relative to
# DATADIR, as in the tsv; e.g. --threads 1 for the decoder's worker threads)
set -euo pipefail
vdec=$1 dir=$2 stream=$3
shift 3
expected=$(awk -F'\t' -v s="$stream" '$1 == s { print $5 }' "$dir/decoded_md5.tsv")
read -r w h < <(awk -F'\t' -v s="$stream" '$1 == s { print $3, $4 }' "$dir/decoded_md5.tsv")
if [ -z "$expected" ]; then
  echo "$stream is not listed in decoded_md5.tsv" >&2
  exit 1
fi
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
"$vdec" --codec h264 "$@" "$dir/$stream" "$tmp"
got=$(md5sum "$tmp" | cut -d' ' -f1)
if [ "$got" = "$expected" ]; then
  echo "$stream: $got"
  exit 0
fi
fs=$((w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2)))
echo "$stream: MD5 $got, expected $expected ($(($(stat -c %s "$tmp") / fs)) frames decoded)" >&2
framefile=$dir/framemd5/$(basename "$stream").md5
if [ -f "$framefile" ]; then
  n=0
  while read -r idx md5; do
    [ "${idx:0:1}" = "#" ] && continue
    mine=$(dd if="$tmp" bs="$fs" skip="$idx" count=1 status=none | md5sum | cut -d' ' -f1)
    if [ "$mine" != "$md5" ]; then
      echo "$stream: first wrong frame $idx" >&2
      break
    fi
    n=$((n + 1))
  done < "$framefile"
fi
exit 1
