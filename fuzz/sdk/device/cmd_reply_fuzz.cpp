// The command channel as a device may send it: packets read, matched to
// waiting requests (a plain reply, a record list, a features text) and parsed.
#include <cstdlib>

#include "fuzz/sdk/device/session_fuzz.h"
#include "sdk/device/kivo_wire.h"
#include "util/log.h"

// The readers log every broken stream; the fuzzer makes nothing but those.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogSetLevel(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzdev::Rig rig(0, data, size);
  uint8_t reply[8];
  char features[64];
  kivo::RecordCollect records;
  PendingRequest plain, list, feat;
  plain.command = CMD_PASSWORD;
  plain.reply = reply;
  plain.capacity = sizeof(reply);
  list.command = CMD_RECORD_LIST;
  list.handler = kivo::RecordListHandler;
  list.handler_value = &records;
  feat.command = CMD_FEATURES;
  feat.reply = features;
  feat.capacity = sizeof(features);
  rig.s.pending = {&plain, &list, &feat};
  kivo::GrowBuf buf;
  for (;;) {
    const int r = kivo::ReadCmdPkt(&rig.s, &buf, 0, nullptr);
    if (r < 0) break;
    kivo::DispatchCmdPacket(&rig.s, buf.bytes.data(), r);
    const kivo::CmdHeader h = kivo::GetCmdHeader(buf.bytes.data());
    kivo::CmdFields f;
    kivo::ParsePayload(h.command, buf.bytes.data() + 8, r - 8, &f);
    if ((h.command | 1u) == (CMD_FEATURES | 1u)) {
      DeviceFeatures df;
      ParseDeviceFeatures(reinterpret_cast<const char*>(buf.bytes.data() + 8), r - 8, &df);
    }
  }
  std::free(records.entries);
  // The same bytes as one payload of every layout, and as a zoom text.
  const uint32_t layouts[] = {CMD_ERROR_REPLY, CMD_PLAYBACK_CONTROL, CMD_PASSWORD, CMD_RECORD_LIST, CMD_PASSWORD ^ 1u};
  for (uint32_t c : layouts) {
    kivo::CmdFields f;
    kivo::ParsePayload(c, data, static_cast<int>(size), &f);
  }
  kivo::RecordListPacket p;
  kivo::ParseRecordListPacket(data, static_cast<int>(size), &p);
  std::string text(reinterpret_cast<const char*>(data), size);
  ZoomDesc z;
  ParseZoomDesc(text.c_str(), &z, 0);
  return 0;
}
