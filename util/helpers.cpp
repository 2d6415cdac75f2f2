#include "util/helpers.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/thread.h"

void* MemCalloc(size_t count, size_t size) { return std::calloc(count, size); }

void* MemRealloc(void* block, size_t size) { return std::realloc(block, size); }

char* StrDup(const char* text) { return text ? strdup(text) : nullptr; }

char* StrNDup(const char* text, size_t n) { return text ? strndup(text, n) : nullptr; }

const char* StrRFindAny(const char* text, const char* set) {
  if (!text || !set) return nullptr;
  const char* found = nullptr;
  for (const char* p = text; *p; ++p)
    if (std::strchr(set, *p)) found = p;
  return found;
}

void StrCopyN(char* dst, const char* src, size_t size) {
  if (!dst || size == 0) return;
  dst[0] = '\0';
  if (size < 2 || !src) return;
  size_t n = strnlen(src, size - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

FILE* FopenMkdirs(const char* path, const char* mode) {
  if (!path || !mode) return nullptr;
  if (std::strpbrk(mode, "wa")) {
    // The folder part, up to and including the last "/", at most 255 characters.
    char dir[256];
    const char* last = std::strrchr(path, '/');
    size_t len = last ? static_cast<size_t>(last - path) + 1 : 0;
    if (len > 255) len = 255;
    std::memcpy(dir, path, len);
    dir[len] = '\0';
    for (size_t i = 1; i < len; ++i) {
      if (dir[i] != '/') continue;
      dir[i] = '\0';
      struct stat st;
      if (::stat(dir, &st) != 0 && ::mkdir(dir, 0755) != 0 && errno != EEXIST) return nullptr;
      dir[i] = '/';
    }
  }
  return std::fopen(path, mode);
}

uint32_t JoinThread(platform::Thread& thread) { return thread.Join(); }

int SockIoctlFionbio(int sock, int value) {
  int v = value ? 1 : 0;
  return ::ioctl(sock, FIONBIO, &v);
}

int SockSetLinger(int sock, int on, int seconds) {
  linger l{};
  l.l_onoff = on;
  l.l_linger = seconds;
  return ::setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}
