// Runs a libFuzzer entry point without libFuzzer: every file of the given
// corpus folders or files, then seeded mutations of them (or of random bytes
// when there is no corpus). Used by the normal test build; -DFUZZ=ON builds
// the real fuzzers instead.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void Run(const std::vector<uint8_t>& input) {
  // A copy in an exact-size heap block, so an overread is caught by ASan.
  uint8_t* buf = static_cast<uint8_t*>(std::malloc(input.empty() ? 1 : input.size()));
  if (!input.empty()) std::memcpy(buf, input.data(), input.size());
  LLVMFuzzerTestOneInput(buf, input.size());
  std::free(buf);
}

std::vector<uint8_t> Mutate(std::vector<uint8_t> v, std::mt19937& rng) {
  auto pick = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
  int steps = 1 + static_cast<int>(rng() % 8);
  for (int s = 0; s < steps; ++s) {
    switch (rng() % 6) {
      case 0:  // flip a bit
        if (!v.empty()) v[pick(v.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:  // set a byte to an interesting value
        if (!v.empty()) {
          static const uint8_t vals[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xFE, 0x03};
          v[pick(v.size())] = vals[rng() % sizeof(vals)];
        }
        break;
      case 2:  // truncate
        if (!v.empty()) v.resize(pick(v.size()));
        break;
      case 3:  // insert random bytes
      {
        size_t n = 1 + rng() % 16;
        size_t at = pick(v.size() + 1);
        std::vector<uint8_t> ins(n);
        for (auto& b : ins) b = static_cast<uint8_t>(rng());
        v.insert(v.begin() + static_cast<long>(at), ins.begin(), ins.end());
        break;
      }
      case 4:  // duplicate a slice
        if (v.size() > 1) {
          size_t a = pick(v.size()), n = 1 + pick(std::min<size_t>(64, v.size() - a));
          std::vector<uint8_t> slice(v.begin() + static_cast<long>(a), v.begin() + static_cast<long>(a + n));
          v.insert(v.begin() + static_cast<long>(pick(v.size() + 1)), slice.begin(), slice.end());
        }
        break;
      default:  // overwrite with random bytes
        for (size_t i = 0, n = 1 + rng() % 8; i < n && !v.empty(); ++i) v[pick(v.size())] = static_cast<uint8_t>(rng());
        break;
    }
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  long runs = 1000;
  unsigned seed = 12345;
  std::vector<std::vector<uint8_t>> corpus;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--runs=", 0) == 0) {
      runs = std::strtol(a.c_str() + 7, nullptr, 10);
    } else if (a.rfind("--seed=", 0) == 0) {
      seed = static_cast<unsigned>(std::strtoul(a.c_str() + 7, nullptr, 10));
    } else if (std::filesystem::is_directory(a)) {
      std::vector<std::filesystem::path> files;
      for (auto& e : std::filesystem::recursive_directory_iterator(a))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
      for (auto& f : files) corpus.push_back(ReadFile(f));
    } else if (std::filesystem::is_regular_file(a)) {
      corpus.push_back(ReadFile(a));
    } else {
      std::fprintf(stderr, "replay: no such input %s\n", a.c_str());
      return 2;
    }
  }
  for (auto& c : corpus) Run(c);
  std::mt19937 rng(seed);
  for (long r = 0; r < runs; ++r) {
    std::vector<uint8_t> base;
    if (!corpus.empty()) {
      base = corpus[rng() % corpus.size()];
    } else {
      base.resize(rng() % 512);
      for (auto& b : base) b = static_cast<uint8_t>(rng());
    }
    Run(Mutate(std::move(base), rng));
  }
  std::printf("replay: %zu corpus inputs, %ld mutations, no crash\n", corpus.size(), runs);
  return 0;
}
