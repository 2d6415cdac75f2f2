// Checks the decoded pictures of a stream against its MD5 picture-hash SEI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hevc_test {

struct HashReport {
  int hashes = 0;      // picture-hash SEI messages seen
  int checked = 0;     // pictures decoded and compared
  int mismatched = 0;  // of those, pictures whose hash differs
  int skipped = 0;     // hashes of pictures this decoder refused or did not complete
  std::string firstMismatch;
};

// Feeds the stream unit by unit; after each picture's hash SEI compares the
// whole decoded picture (before cropping) with it.
HashReport CheckPictureHashes(const uint8_t* data, size_t size, int maxWidth, int maxHeight, int maxRefNum = 4);

}  // namespace hevc_test
