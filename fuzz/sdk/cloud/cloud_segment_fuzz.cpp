// Cloud segment files from hostile bytes: the reader, decryption and padding checks never read or write out
// of bounds, and every frame's plain length stays inside its stored size.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sdk/cloudplay/cloud_segment.h"
#include "util/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/velmora_fuzz_segment_" + std::to_string(getpid());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  const Mp4ReaderOps* r = CloudFileReaderOps();
  void* h = nullptr;
  if (r->Open(path.c_str(), &h) != 0) return 0;
  std::vector<uint8_t> enc(64), plain(64);
  for (int frames = 0; frames < 4096; ++frames) {
    uint32_t type = 0, ts = 0, flags = 0, n = static_cast<uint32_t>(enc.size());
    int rc = r->ReadSample(&type, &ts, enc.data(), &n, &flags, h);
    if (rc == kCloudReadTooSmall) {
      if (n > (1u << 24) + 8 || n % 8 != 0) __builtin_trap();
      if (n > (1u << 20)) break;  // large frames are legal; the replay stays quick without them
      enc.resize(n);
      plain.resize(n);
      continue;
    }
    if (rc != 0) break;
    if (n % 8 != 0 || n > enc.size()) __builtin_trap();
    if (n == 0) continue;
    if (CryptoDesDecrypt(enc.data(), static_cast<int>(n), "fuzzkey!", plain.data()) != static_cast<int>(n))
      __builtin_trap();
    int len = CloudFrameUnpad(plain.data(), static_cast<int>(n));
    if (len >= static_cast<int>(n) || len < -1) __builtin_trap();
    if ((type & 0xFFFF) == kCloudSyncCodec && len >= 4) {
      volatile uint32_t t = plain[0] | plain[1] << 8 | plain[2] << 16 | uint32_t(plain[3]) << 24;
      (void)t;
    }
  }
  r->Close(h);
  std::remove(path.c_str());
  return 0;
}
