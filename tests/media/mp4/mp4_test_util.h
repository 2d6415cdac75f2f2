// Box helpers of the MP4 tests, written apart from the writer and the reader.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace mt {

// Builds expected bytes field by field.
struct Bytes {
  std::vector<uint8_t> v;
  Bytes& u8(uint32_t x) { v.push_back(static_cast<uint8_t>(x)); return *this; }
  Bytes& u16(uint32_t x) { return u8(x >> 8).u8(x); }
  Bytes& u32(uint32_t x) { return u16(x >> 16).u16(x & 0xFFFF); }
  Bytes& str(const char* s) { v.insert(v.end(), s, s + std::strlen(s)); return *this; }
  Bytes& zeros(size_t n) { v.insert(v.end(), n, 0); return *this; }
  Bytes& raw(const std::vector<uint8_t>& b) { v.insert(v.end(), b.begin(), b.end()); return *this; }
  Bytes& fill(size_t n, uint8_t b) { v.insert(v.end(), n, b); return *this; }
};

inline uint32_t Be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }

struct Box {
  size_t at = 0;    // offset of the header in the file
  size_t size = 0;  // with header
  bool found = false;
};

// Finds a box by a path like "moov/trak#1/mdia/minf/stbl/stsd" (#n: the n-th
// box of that type, from 0). Children of stsd entries are not walked.
inline Box FindPath(const std::vector<uint8_t>& f, const std::string& path) {
  size_t begin = 0, end = f.size();
  Box box;
  size_t from = 0;
  while (from <= path.size()) {
    size_t slash = path.find('/', from);
    std::string part = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
    from = slash == std::string::npos ? path.size() + 1 : slash + 1;
    int want = 0;
    size_t hash = part.find('#');
    if (hash != std::string::npos) {
      want = std::stoi(part.substr(hash + 1));
      part = part.substr(0, hash);
    }
    box.found = false;
    for (size_t at = begin; at + 8 <= end;) {
      size_t size = Be32(&f[at]);
      if (size < 8 || at + size > end) break;
      if (std::memcmp(&f[at + 4], part.c_str(), 4) == 0 && want-- == 0) {
        box = Box{at, size, true};
        break;
      }
      at += size;
    }
    if (!box.found) return box;
    begin = box.at + 8;
    end = box.at + box.size;
  }
  return box;
}

}  // namespace mt

namespace mt {

// Entries of a sample table box (stts, stss, stsc, stco: after the count;
// stsz: after the sample size and count), as 32-bit words.
inline std::vector<uint32_t> Table(const std::vector<uint8_t>& f, const std::string& path) {
  Box b = FindPath(f, path);
  std::vector<uint32_t> out;
  if (!b.found) return out;
  size_t first = b.at + (path.size() >= 4 && path.compare(path.size() - 4, 4, "stsz") == 0 ? 20 : 16);
  for (size_t at = first; at + 4 <= b.at + b.size; at += 4) out.push_back(Be32(&f[at]));
  return out;
}

inline std::string Stbl(int trak, const char* box) {
  return "moov/trak#" + std::to_string(trak) + "/mdia/minf/stbl/" + box;
}

}  // namespace mt
