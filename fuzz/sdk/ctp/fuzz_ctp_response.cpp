// CTP response parser fed in pieces whose sizes come from the input, with and
// without a body callback, into a buffer whose size comes from the input; and
// the header, name-value and option-token parsers on the same bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sdk/ctp/ctp_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t step = 1 + data[0] % 64;
  const bool callback = data[1] & 1;
  const int buffer_size = 16 + (data[1] >> 1) * 40;
  const char* text = reinterpret_cast<const char*>(data + 2);
  const size_t n = size - 2;

  size_t pos = 0;
  CtpReadFn read = [&](char* buf, int room, int) -> int {
    if (pos >= n) return (step & 1) ? 0 : -2;
    size_t k = n - pos < step ? n - pos : step;
    if (k > static_cast<size_t>(room)) k = static_cast<size_t>(room);
    memcpy(buf, text + pos, k);
    pos += k;
    return static_cast<int>(k);
  };
  std::vector<char> buffer(static_cast<size_t>(buffer_size));
  int first = read(buffer.data(), buffer_size - 1, 0);
  std::string response;
  CtpRespHeader head;
  size_t total = 0;
  CtpBodyCallback cb = [](const char* d, int len, void* u) {
    if (len < 0 || d[len] != '\0') __builtin_trap();
    *static_cast<size_t*>(u) += static_cast<size_t>(len);
    return 1;
  };
  int r = CtpParseResponse(read, buffer.data(), buffer_size, first, 10, &response, &head, callback ? cb : nullptr,
                           &total, 1);
  if (r == kCtpOk && head.content_length > 0 && !head.chunked && !callback &&
      response.size() != static_cast<size_t>(head.content_length))
    __builtin_trap();
  if (total > n) __builtin_trap();

  std::string_view all(text, n);
  CtpRespHeader h;
  if (CtpParseHeaders(all, &h) == 0 && (h.body_start > n || h.content_length < 0)) __builtin_trap();
  int num = 0;
  // Left alone by a parse that keeps its targets: it must hold a text before the parse.
  char small[4] = {};
  std::string str;
  std::string_view view;
  CtpNameValueItem items[] = {{"-a", kCtpValueInt, &num, 0, {}},
                              {"b", kCtpValueText, small, sizeof(small), {}},
                              {"c", kCtpValueString, &str, 0, {}},
                              {"d", kCtpValueView, &view, 0, {}},
                              {"e", kCtpValueInt, nullptr, 0, {}}};
  CtpParseNameValue(all, items, 5, data[0] & 7);
  // strnlen: a strlen past the array would let the compiler drop the check as impossible.
  if (strnlen(small, sizeof(small)) == sizeof(small)) __builtin_trap();
  if (!view.empty() && (view.data() < text || view.data() + view.size() > text + n)) __builtin_trap();
  std::string name, body;
  CtpSplitCommandLine(all, &name, &body);
  CtpParseStatusLine(all, "CTP/1.", &str);
  return 0;
}
