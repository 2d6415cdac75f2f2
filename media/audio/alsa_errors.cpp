#include "media/audio/alsa_errors.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::atomic<bool> g_told{false};

void TellOnce(const char*, int, const char*, int, const char* fmt, ...) {
  if (g_told.exchange(true)) return;
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  if (std::strstr(what, "cannot find card"))
    std::fputs("velmora: no sound card found; there is no sound\n", stderr);
  else
    std::fprintf(stderr, "velmora: sound: ALSA says %s (its further messages are left out)\n", what);
}

}  // namespace

void QuietAlsaErrors() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The library SDL loads for its ALSA driver; it stays loaded, so the handler holds for SDL too.
    void* lib = dlopen("libasound.so.2", RTLD_NOW | RTLD_GLOBAL);
    if (!lib) return;
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    if (auto set = reinterpret_cast<SetHandler>(dlsym(lib, "snd_lib_error_set_handler"))) set(TellOnce);
  });
}
