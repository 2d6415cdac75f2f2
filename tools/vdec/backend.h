// A decoder as vdec drives it: the whole stream in, cropped pictures out in
// display order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace vdec {

struct Options {
  bool threads = false;      // --threads 1: the decoder's own worker threads
  bool deinterlace = false;  // --deinterlace: interlaced pictures deinterlaced (H.264)
};

// One output picture, already cropped: plane pointers point at the first
// visible sample, width and height are the visible size (chroma is half of
// each, rounded up).
struct Picture {
  const uint8_t* plane[3];
  int stride[3];
  int width;
  int height;
};

// Returns false to stop decoding (e.g. after --frames N pictures).
using PictureSink = std::function<bool(const Picture&)>;

class Backend {
 public:
  virtual ~Backend() = default;
  // Feeds the whole stream the way the video decode front does and drains at
  // the end. Returns 0, or a decoder error code with a message in `error`;
  // with 0, a message in `error` is a warning (e.g. a cut last picture).
  virtual int Run(const uint8_t* data, size_t size, const PictureSink& sink, std::string& error) = 0;
};

// Position of the first start code (00 00 01) at or after `from`, or `size`.
// Compressed data rarely holds a 01 byte, so the scan looks for those.
inline size_t FindStartCode(const uint8_t* data, size_t from, size_t size) {
  for (size_t k = from + 2; k < size;) {
    const void* one = std::memchr(data + k, 1, size - k);
    if (!one) break;
    k = static_cast<size_t>(static_cast<const uint8_t*>(one) - data);
    if (data[k - 1] == 0 && data[k - 2] == 0) return k - 2;
    ++k;
  }
  return size;
}

// Null when the codec is not built in.
std::unique_ptr<Backend> MakeH264Backend(const Options& options);
std::unique_ptr<Backend> MakeHevcBackend(const Options& options);

}  // namespace vdec
