#!/usr/bin/env bash
# scripts/check-layers on small trees: includes that point down pass, up or across fail and are named.
#   check_layers_test.sh ROOT
set -u
root=${1:?usage: check_layers_test.sh ROOT}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# case NAME WANT(pass|fail) FILE INCLUDE...: a tree of FILE including each INCLUDE (and the included files).
case_() {
  local name=$1 want=$2 file=$3
  shift 3
  local tree=$work/$name
  mkdir -p "$tree/$(dirname "$file")"
  : >"$tree/$file"
  for inc in "$@"; do
    mkdir -p "$tree/$(dirname "$inc")"
    : >>"$tree/$inc"
    printf '#include "%s"\n' "$inc" >>"$tree/$file"
  done
  local out got
  out=$("$root/scripts/check-layers" "$tree" 2>&1) && got=pass || got=fail
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: wanted $want, got $got"; echo "$out"; failures=$((failures + 1))
  elif [ "$want" = fail ] && ! grep -q "^$file:" <<<"$out"; then
    echo "FAIL $name: the report does not name $file"; echo "$out"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

case_ sdk_down pass sdk/device/a.cpp util/log.h av/av_render_ops.h p2p/rvs_api.h platform/thread.h
case_ media_down pass media/sink/b.cpp av/media_codec.h codecs/common/nal.h codecs/h264/h264.h util/log.h
case_ own_folder pass media/video/c.cpp media/video/video_picture.h
case_ app_down pass app/gui/d.cpp sdk/node/device_node.h media/sink/av_render.h app/ui/e.h
case_ main_takes_demo pass app/main.cpp app/demo/demo_driver.h
case_ tests_anything pass tests/x/t.cpp tools/camsim/sim.h app/demo/demo_road.h
case_ sdk_across_to_media fail sdk/cloudplay/f.h media/mp4/mp4_reader.h
case_ media_across_to_sdk fail media/sink/g.h sdk/device/av_render_ops.h
case_ util_up_to_sdk fail util/h.cpp sdk/net/tls.h
case_ p2p_across_to_codec fail p2p/i.cpp codecs/h264/h264.h
case_ app_up_to_demo fail app/j.cpp app/demo/demo_driver.h
case_ library_uses_tool fail media/k.cpp tools/mp4rec/annexb.h
case_ av_stands_alone fail av/l.h platform/thread.h
# Inside sdk and media.
case_ sink_on_its_neighbours pass media/sink/m.cpp media/video/video_decoder.h media/audio/g711.h media/mp4/mp4_writer.h
case_ node_on_the_sdk pass sdk/node/n.cpp sdk/device/p2p_client.h sdk/cloudplay/cs_player.h sdk/webrtc/ov_webrtc.h
case_ video_up_to_sink fail media/video/o.cpp media/sink/av_render.h
case_ cloud_up_to_player fail sdk/cloud/p.cpp sdk/cloudplay/cs_player.h
case_ device_up_to_node fail sdk/device/q.cpp sdk/node/device_node.h

[ "$failures" = 0 ] || { echo "$failures case(s) failed"; exit 1; }
