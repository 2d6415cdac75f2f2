// TEMPORARY: stand-ins for the log facility and helpers until sdk/util lands.
#pragma once

#include <openssl/evp.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

inline void LogPrintf(int level, FILE* stream, const char* tag, const char* fmt, ...) {
  if ((level & 0x7FFF) > 5) return;
  FILE* out = stream ? stream : stderr;
  std::fprintf(out, "[%s] ", tag);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(out, fmt, ap);
  va_end(ap);
}

inline void LogWrite(int level, FILE* stream, const char* tag, const void* data, int length) {
  FILE* out = stream ? stream : stderr;
  std::fprintf(out, "[%s] %.*s\n", tag, length, static_cast<const char*>(data));
}

inline int Base64Encode(const void* data, int length, char* out, int capacity) {
  int need = 4 * ((length + 2) / 3) + 1;
  if (capacity < need) return -1;
  return EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), static_cast<const unsigned char*>(data), length);
}

#include <chrono>
#include <condition_variable>
#include <mutex>

class ShimAutoEvent {
 public:
  void Set() {
    std::lock_guard<std::mutex> l(mu_);
    set_ = true;
    cv_.notify_one();
  }
  bool Wait(uint32_t ms) {
    std::unique_lock<std::mutex> l(mu_);
    bool ok = cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return set_; });
    set_ = false;
    return ok;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};
