// The libcurl loading step.
#include <gtest/gtest.h>

#include "sdk/net/curl_loader.h"

namespace {

TEST(CurlLoader, LoadsOnceAndUnloads) {
  EXPECT_EQ(nullptr, CurlEntryPoints());
  ASSERT_EQ(0, LoadCurl());
  ASSERT_EQ(0, LoadCurl());  // a second load changes nothing
  const CurlApi* api = CurlEntryPoints();
  ASSERT_NE(nullptr, api);
  // All nine entry points, usable as they are.
  CURL* h = api->easy_init();
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(CURLE_OK, api->easy_setopt(h, CURLOPT_URL, "http://127.0.0.1:1/"));
  struct curl_slist* list = api->slist_append(nullptr, "X-A: 1");
  EXPECT_NE(nullptr, list);
  api->slist_free_all(list);
  api->easy_reset(h);
  long code = -1;
  EXPECT_EQ(CURLE_OK, api->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code));
  EXPECT_EQ(0, code);
  api->easy_cleanup(h);
  EXPECT_NE(nullptr, api->global_init);
  EXPECT_NE(nullptr, api->easy_perform);
  UnloadCurl();
  EXPECT_EQ(nullptr, CurlEntryPoints());
}

}  // namespace
