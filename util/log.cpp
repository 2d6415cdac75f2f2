#include "util/log.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

std::atomic<int> g_level{4};
std::atomic<int> g_flags{kLogToConsole};
std::atomic<int> g_prev_newline{1};

std::mutex g_file_mu;  // guards the two below and every write to the file
FILE* g_file = nullptr;
long g_max_size = 0;

void TrimLocked() {
  if (!g_file || g_max_size == 0) return;
  long pos = std::ftell(g_file);
  if (pos <= g_max_size) return;
  long from = g_max_size / 2;
  long to = 0;
  char buf[8192];
  while (from < pos) {
    std::fseek(g_file, from, SEEK_SET);
    size_t n = std::fread(buf, 1, static_cast<size_t>(std::min<long>(sizeof(buf), pos - from)), g_file);
    if (n == 0) {
      if (std::ferror(g_file)) std::perror("read");
      break;
    }
    std::fseek(g_file, to, SEEK_SET);
    std::fwrite(buf, 1, n, g_file);
    from += static_cast<long>(n);
    to += static_cast<long>(n);
  }
  std::fflush(g_file);
  // Cut what is left of the old tail so that the file holds only the log.
  int cut = ftruncate(fileno(g_file), to);
  (void)cut;
  std::fseek(g_file, to, SEEK_SET);
}

// Writes one message to the file and the console; body(FILE*) writes the message itself.
template <class Body>
void Emit(int level, FILE* stream, const char* tag, Body body) {
  const bool prefix = !(level & kLogNoPrefix);
  char time_text[kLogTimeTextSize] = "";
  if (prefix) LogFormatTime(time_text, sizeof(time_text));
  const bool newline_first = prefix && !g_prev_newline.load(std::memory_order_relaxed);
  auto write_to = [&](FILE* f) {
    if (newline_first) std::fputc('\n', f);
    if (prefix) std::fprintf(f, "[%s] [%s] ", time_text, tag ? tag : "");
    body(f);
    std::fflush(f);
  };
  {
    std::lock_guard<std::mutex> lk(g_file_mu);
    if (g_file) {
      write_to(g_file);
      TrimLocked();
    }
  }
  if (g_flags.load(std::memory_order_relaxed) & kLogToConsole) write_to(stream ? stream : stdout);
}

bool Dropped(int level) { return (level & 0x7FFF) > g_level.load(std::memory_order_relaxed); }

}  // namespace

void LogSetLevel(int level) { g_level.store(level, std::memory_order_relaxed); }

void LogOpen(int flags, const char* path, int max_size) {
  {
    std::lock_guard<std::mutex> lk(g_file_mu);
    if (g_file && !(flags & kLogToFile)) {
      std::fclose(g_file);
      g_file = nullptr;
    }
    if (flags & kLogToFile) {
      if (g_file) std::fclose(g_file);
      g_file = path ? std::fopen(path, "w+") : nullptr;
      if (max_size != 0) g_max_size = max_size;
    }
  }
  g_flags.store(flags, std::memory_order_relaxed);
}

void LogPrintf(int level, FILE* stream, const char* tag, const char* format, ...) {
  if (Dropped(level)) return;
  if (!format) format = "";
  va_list args;
  va_start(args, format);
  Emit(level, stream, tag, [&](FILE* f) {
    va_list copy;
    va_copy(copy, args);
    std::vfprintf(f, format, copy);
    va_end(copy);
  });
  va_end(args);
  size_t len = std::strlen(format);
  g_prev_newline.store(len > 0 && format[len - 1] == '\n', std::memory_order_relaxed);
}

void LogWrite(int level, FILE* stream, const char* tag, const void* data, size_t length) {
  if (Dropped(level)) return;
  Emit(level, stream, tag, [&](FILE* f) {
    if (data && length) std::fwrite(data, 1, length, f);
  });
  g_prev_newline.store(0, std::memory_order_relaxed);
}

int LogFormatTime(char* out, size_t size) {
  if (!out || size == 0) return 0;
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm lt{};
  localtime_r(&ts.tv_sec, &lt);
  // The fraction: milliseconds / 1000 printed "%.04f", its four digits after the point.
  char frac[16];
  std::snprintf(frac, sizeof(frac), "%.04f", static_cast<double>(ts.tv_nsec / 1000000) / 1000.0);
  int n = std::snprintf(out, size, "%02hd-%02hd %02hd:%02hd:%02hd.%s", static_cast<short>(lt.tm_mon + 1),
                        static_cast<short>(lt.tm_mday), static_cast<short>(lt.tm_hour),
                        static_cast<short>(lt.tm_min), static_cast<short>(lt.tm_sec), frac + 2);
  return std::min(n, static_cast<int>(size - 1));
}

void LogTrimFile() {
  std::lock_guard<std::mutex> lk(g_file_mu);
  TrimLocked();
}

void SdkNoop() {}
