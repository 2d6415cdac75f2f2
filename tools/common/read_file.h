// Reads a whole file, for the command-line tools and the tests.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tools {

// The bytes of the file at path into *out; false when it cannot be opened or
// a read fails. A regular file goes straight into a buffer of its size (no
// growth, no copies); other files are read in blocks.
inline bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  out->clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  struct stat st {};
  size_t n = 0;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out->resize(static_cast<size_t>(st.st_size));
    n = std::fread(out->data(), 1, out->size(), f);
    out->resize(n);  // a file that shrank meanwhile
  }
  // Whatever lies beyond the size (a file that grew, a pipe).
  uint8_t buf[1 << 16];
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

// The bytes of a file, mapped where it is a regular file (its pages come
// from the page cache: nothing is zeroed or copied), else read.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() { Unmap(); }

  // False when the file cannot be opened or read.
  bool Open(const std::string& path) {
    Unmap();
    bytes_.clear();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    struct stat st {};
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fileno(f), 0);
      if (p != MAP_FAILED) {
        map_ = static_cast<const uint8_t*>(p);
        mapSize_ = static_cast<size_t>(st.st_size);
      }
    }
    std::fclose(f);
    return map_ || ReadFile(path, &bytes_);
  }
  const uint8_t* data() const { return map_ ? map_ : bytes_.data(); }
  size_t size() const { return map_ ? mapSize_ : bytes_.size(); }
  bool empty() const { return size() == 0; }

 private:
  void Unmap() {
    if (map_) munmap(const_cast<uint8_t*>(map_), mapSize_);
    map_ = nullptr;
    mapSize_ = 0;
  }
  const uint8_t* map_ = nullptr;
  size_t mapSize_ = 0;
  std::vector<uint8_t> bytes_;
};

}  // namespace tools
