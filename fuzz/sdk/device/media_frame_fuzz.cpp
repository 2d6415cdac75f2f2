// A media channel as a device may send it: frames read until the bytes end.
#include "fuzz/sdk/device/session_fuzz.h"
#include "sdk/device/kivo_wire.h"
#include "util/log.h"

// The readers log every broken stream; the fuzzer makes nothing but those.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogSetLevel(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzdev::Rig rig(2, data, size);
  kivo::GrowBuf buf;
  for (;;) {
    const int r = kivo::RecvFramePkt(&rig.s, 2, &buf, 0, nullptr);
    if (r < 0) break;
    MediaFrameHeader h = kivo::GetFrameHeader(buf.bytes.data());
    if (h.length + 16u != static_cast<uint32_t>(r)) __builtin_trap();
    WireCodecToMediaCodec(h.codec);
  }
  return 0;
}
