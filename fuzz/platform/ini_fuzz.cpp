// The INI reader and writer over hostile files: reads stay inside their buffers, and what is written reads
// back.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ini.h"

namespace {

std::string g_dir, g_path;

void RemoveDir() {
  unlink(g_path.c_str());
  rmdir(g_dir.c_str());
}

void Fail(int line) {
  std::fprintf(stderr, "ini_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Check(ok) ((ok) ? (void)0 : Fail(__LINE__))

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/velmora_ini_fuzz_XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  g_dir = tmpl;
  g_path = g_dir + "/fuzz.ini";
  std::atexit(RemoveDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(g_path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  const char* path = g_path.c_str();

  // A section and key named by the input's first bytes, and the names the application uses.
  std::string name(reinterpret_cast<const char*>(data),
                   strnlen(reinterpret_cast<const char*>(data), size < 6 ? size : 6));
  const char* sections[] = {"config", "accounts", name.c_str()};
  for (const char* sec : sections) {
    char small[3], buf[64];
    platform::IniGetString(sec, "max_idle_time", "300", small, sizeof(small), path);
    Check(strlen(small) < sizeof(small));
    platform::IniGetString(sec, name.c_str(), nullptr, buf, sizeof(buf), path);
    Check(strlen(buf) < sizeof(buf));
    platform::IniGetInt(sec, "env", 0, path);
    uint32_t n = platform::IniGetSection(sec, buf, sizeof(buf), path);
    Check(n < sizeof(buf) && buf[n] == '\0' && (n == 0 || buf[n - 1] == '\0' || n == sizeof(buf) - 2));
  }

  Check(platform::IniWriteString("config", "view", "2", path));
  Check(platform::IniGetInt("config", "view", 0, path) == 2);
  if (platform::IniWriteString(name.c_str(), "key", "value", path)) {
    char buf[16];
    platform::IniGetString(name.c_str(), "key", "", buf, sizeof(buf), path);
    Check(std::strcmp(buf, "value") == 0);
  }
  static const char kBlock[] = "a=1\0b=2\0";
  Check(platform::IniWriteSection("accounts", kBlock, path));
  char list[32];
  Check(platform::IniGetSection("accounts", list, sizeof(list), path) == 8 &&
        std::memcmp(list, "a=1\0b=2\0\0", 9) == 0);
  Check(platform::IniWriteString("config", nullptr, nullptr, path));
  Check(platform::IniGetInt("config", "view", -7, path) == -7);
  return 0;
}
