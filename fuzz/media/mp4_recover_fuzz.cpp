// Recovery of arbitrary bytes as an unclosed recording, then a read of the result.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "media/mp4/mp4_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char path[] = "/tmp/mp4recoverXXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  uint32_t frame = size ? 40u * (1 + data[size - 1] % 16) : 160;
  Mp4Info info;
  if (Mp4Recover(path, 2, frame, &info) == 0) {
    void* r = nullptr;
    if (Mp4ReaderOpen(path, &r) == 0) {
      std::vector<uint8_t> buf(1 << 16);
      for (int n = 0; n < 4096; ++n) {
        uint32_t type, time, key, size32 = static_cast<uint32_t>(buf.size());
        if (Mp4ReaderReadSample(&type, &time, buf.data(), &size32, &key, r) != 0) break;
      }
      Mp4ReaderClose(r);
    }
  }
  std::remove(path);
  return 0;
}
