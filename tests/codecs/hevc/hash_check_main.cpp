// hevc_hash_check STREAM [MAXW MAXH [MAXREF]]: exit 0 when every picture the decoder
// completes matches its picture-hash SEI and at least one was compared.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/codecs/hevc/hash_check.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: hevc_hash_check STREAM [MAXW MAXH [MAXREF]]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), {});
  int w = argc > 3 ? std::atoi(argv[2]) : 1920, h = argc > 3 ? std::atoi(argv[3]) : 1088;
  int refs = argc > 4 ? std::atoi(argv[4]) : 4;
  auto r = hevc_test::CheckPictureHashes(d.data(), d.size(), w, h, refs);
  std::printf("hashes=%d checked=%d mismatched=%d skipped=%d %s\n", r.hashes, r.checked, r.mismatched, r.skipped,
              r.firstMismatch.c_str());
  return r.checked > 0 && r.mismatched == 0 ? 0 : 1;
}
