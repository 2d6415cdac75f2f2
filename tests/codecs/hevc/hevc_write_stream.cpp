// hevc_write_stream --list | CASE OUT.265 [--no-sao] [--no-deblock] [--pictures N] [--seed S]:
// writes one of the stream writer's named test streams, optionally without
// loop filters or cut short (to narrow a difference down).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/codecs/hevc/stream_writer.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list") {
    for (const auto& n : hevc_test::WriterCaseNames()) std::printf("%s\n", n.c_str());
    return 0;
  }
  hevc_test::StreamPlan plan;
  if (argc < 3 || !hevc_test::WriterCase(argv[1], &plan)) {
    std::fprintf(stderr,
                 "usage: hevc_write_stream --list | CASE OUT.265 [--no-sao] [--no-deblock] [--pictures N] "
                 "[--seed S]\n");
    return 2;
  }
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--no-sao") {
      plan.saoTypesOff = true;
    } else if (a == "--no-deblock") {
      plan.pps.deblocking_control = true;
      plan.pps.deblocking_override = false;
      plan.pps.deblocking_disabled = true;
    } else if (a == "--pictures" && i + 1 < argc) {
      plan.pictures.resize(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--seed" && i + 1 < argc) {
      plan.seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "hevc_write_stream: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  std::vector<uint8_t> s = hevc_test::WriteStream(plan);
  FILE* f = std::fopen(argv[2], "wb");
  if (!f || std::fwrite(s.data(), 1, s.size(), f) != s.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "hevc_write_stream: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
