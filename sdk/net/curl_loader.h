// libcurl for the modules that use it. On this platform the library is linked;
// LoadCurl fills the table of entry points and initialises libcurl once.
#pragma once

#include <curl/curl.h>

struct CurlApi {
  CURLcode (*global_init)(long flags);
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
  CURLcode (*easy_perform)(CURL* handle);
  void (*easy_cleanup)(CURL* handle);
  CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
  void (*easy_reset)(CURL* handle);
  struct curl_slist* (*slist_append)(struct curl_slist* list, const char* text);
  void (*slist_free_all)(struct curl_slist* list);
};

// The file name shown when libcurl cannot be used.
inline constexpr const char kCurlLibraryName[] = "libcurl.so.4";

// Fills the entry points and runs curl_global_init once per process; returns 0.
// When libcurl cannot be initialised it prints "Can not load libcurl.so.4" and
// ends the process with exit code 1.
int LoadCurl();
// Forgets the entry points (no global clean-up, as libcurl may still be in use).
void UnloadCurl();
// The entry points; null before LoadCurl and after UnloadCurl.
const CurlApi* CurlEntryPoints();
