// Reads a whole file, for the command-line tools and the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tools {

// The bytes of the file at path into *out; false when it cannot be opened or
// a read fails.
inline bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  out->clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// The bytes of the file at path; nothing when it cannot be read.
inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> out;
  if (!ReadFile(path, &out)) out.clear();
  return out;
}

}  // namespace tools
