// The saved accounts over hostile blocks: parsing stays inside the block, a built block keeps its limit, and
// every account written to config.ini reads back as it was.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/settings.h"

namespace {

std::string g_dir;

void Fail(int line) {
  std::fprintf(stderr, "accounts_block_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Check(ok) ((ok) ? (void)0 : Fail(__LINE__))

void RemoveDir() {
  unlink((g_dir + "/config.ini").c_str());
  rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_dir.empty()) {
    char tmpl[] = "/tmp/velmora_accounts_fuzz_XXXXXX";
    if (!mkdtemp(tmpl)) return 0;
    g_dir = tmpl;
    SetAppDataFolder(g_dir);
    atexit(RemoveDir);
  }
  if (size == 0) return 0;
  const bool cut = data[0] & 1;
  const char* block = reinterpret_cast<const char*>(data + 1);
  AccountMap parsed;
  ParseAccountsBlock(block, size - 1, cut, &parsed);
  for (const auto& [user, password] : parsed) {
    Check(!user.empty() && user.find('=') == std::string::npos);
    Check(user.find('\0') == std::string::npos && password.find('\0') == std::string::npos);
  }

  std::string built = BuildAccountsBlock(parsed);
  Check(built.size() <= kAccountsBlockMax);
  Check(!built.empty() && built.back() == '\0');
  AccountMap again;
  ParseAccountsBlock(built.data(), built.size(), false, &again);
  for (const auto& [user, password] : again) {
    auto it = parsed.find(user);
    Check(it != parsed.end());
  }

  // Through the file: what was saved loads back unchanged.
  AccountStore() = parsed;
  Check(SaveAccounts(0));
  LoadAccounts(0);
  for (const auto& [user, password] : AccountStore()) {
    auto it = parsed.find(user);
    Check(it != parsed.end() && it->second == password);
  }
  return 0;
}
