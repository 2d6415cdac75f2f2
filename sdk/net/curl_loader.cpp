// libcurl loading step.
#include "sdk/net/curl_loader.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "util/log.h"

namespace {

const CurlApi kApi = {
    curl_global_init, curl_easy_init,  curl_easy_setopt, curl_easy_perform,     curl_easy_cleanup,
    curl_easy_getinfo, curl_easy_reset, curl_slist_append, curl_slist_free_all,
};
std::atomic<const CurlApi*> g_api{nullptr};
std::once_flag g_init_once;

}  // namespace

int LoadCurl() {
  std::call_once(g_init_once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      std::fprintf(stderr, "Error: Can not load %s\n", kCurlLibraryName);
      LogPrintf(kLogError, nullptr, "LoadCurl", "Can not load %s\n", kCurlLibraryName);
      std::exit(1);
    }
  });
  g_api.store(&kApi);
  return 0;
}

void UnloadCurl() { g_api.store(nullptr); }

const CurlApi* CurlEntryPoints() { return g_api.load(); }
