// HTTP response parser with the memory collector, fed in pieces whose sizes
// come from the input; and the URL parser on the same bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "sdk/net/http_client.h"
#include "sdk/net/http_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = 1 + data[0] % 64;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t n = size - 1;

  HttpRespParser* p = new HttpRespParser;
  HttpRespParserInit(p);
  HttpResponse resp{};
  HttpMemCollector c{&resp, [](const char*, const char*, void*) { return 0; }, nullptr, 0};
  int r = kHttpParseMore;
  for (size_t pos = 0; pos < n && r == kHttpParseMore; pos += step) {
    size_t len = n - pos < step ? n - pos : step;
    r = HttpRespParserFeed(p, text + pos, len, httpRespDataCb_toMem, &c, nullptr);
  }
  if (r == kHttpParseMore) HttpRespParserFinish(p, httpRespDataCb_toMem, &c);
  if (resp.body && resp.body[resp.body_length] != '\0') __builtin_trap();
  HttpRespFree(&resp);
  HttpRespParserFree(p);
  delete p;

  std::string url(text, n);
  int scheme, port;
  char user[kUrlUserSize], password[kUrlUserSize], host[kUrlHostSize];
  const char* path;
  if (http_parse_url(url.c_str(), &scheme, user, password, host, &port, &path) == 1) {
    if (strlen(host) >= kUrlHostSize || strlen(user) >= kUrlUserSize || port <= 0 || port > 65535) __builtin_trap();
  }
  return 0;
}
