// CTP request building and response parsing, without a peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sdk/ctp/ctp_message.h"

namespace {

TEST(CtpRequest, HeadShapes) {
  struct Case {
    const char* name;
    int body_length;
    const char* extra;
    const char* want;
  } cases[] = {
      {"getinfo", 0, nullptr, "CMD getinfo CTP/1.0\r\n\r\n"},
      {"getinfo", 0, "", "CMD getinfo CTP/1.0\r\n\r\n"},
      {"set", 12, nullptr, "CMD set CTP/1.0\r\nContent-Length: 12\r\n\r\n"},
      {"set", 0, "Host: cam\r\n", "CMD set CTP/1.0\r\nHost: cam\r\n\r\n"},
      {"set", 7, "Host: cam\r\n", "CMD set CTP/1.0\r\nContent-Length: 7\r\nHost: cam\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    size_t size = CtpRequestHeadSize(c.name, c.body_length, c.extra);
    EXPECT_EQ(size, strlen(c.want));
    std::vector<char> out(size + 1);
    char* end = CtpFormatRequest(out.data(), out.size(), c.name, c.body_length, c.extra);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(out.data(), end), c.want);
    // One byte short of the terminator does not fit.
    EXPECT_EQ(CtpFormatRequest(out.data(), size, c.name, c.body_length, c.extra), nullptr);
  }
}

TEST(CtpRequest, BufferIsSizedToTheBody) {
  // Bodies far beyond the 5000 bytes a fixed buffer would hold come through whole.
  for (size_t n : {size_t{0}, size_t{4990}, size_t{5000}, size_t{70000}}) {
    std::string body(n, 'q');
    std::string req = CtpBuildRequest("set", body.data(), static_cast<int>(n), "Host: h\r\n", "id7");
    std::string head = n ? "CMD set CTP/1.0\r\nContent-Length: " + std::to_string(n) + "\r\nHost: h\r\n"
                         : "CMD set CTP/1.0\r\nHost: h\r\n";
    EXPECT_EQ(req, head + "Cookie: cltid=id7\r\n\r\n" + body) << n;
  }
  EXPECT_EQ(CtpBuildRequest("a", nullptr, 0, nullptr, nullptr), "CMD a CTP/1.0\r\n\r\n");
  EXPECT_EQ(CtpBuildRequest("a", nullptr, 0, nullptr, "x"), "CMD a CTP/1.0\r\nCookie: cltid=x\r\n\r\n");
}

TEST(CtpRequest, CommandLineSplitsIntoOptionLines) {
  struct Case {
    const char* line;
    const char* name;
    const char* body;
  } cases[] = {
      {"ptzctrl -chn 1 -act 3 -para 7", "ptzctrl", "-chn 1\r\n-act 3\r\n-para 7\r\n\r\n"},
      {"  getinfo  ", "getinfo", ""},
      {"set -flag -v 2", "set", "-flag\r\n-v 2\r\n\r\n"},
      {"set -name \"two words\" -x 1", "set", "-name \"two words\"\r\n-x 1\r\n\r\n"},
      {"set -a 1 stray -b 2", "set", "-a 1\r\n"
                                     "\r\n"},
      {"set -q \"open", "set", "-q \"open\r\n\r\n"},
      {"set\t-a\t1", "set", "-a 1\r\n\r\n"},
  };
  for (const Case& c : cases) {
    std::string name, body;
    ASSERT_TRUE(CtpSplitCommandLine(c.line, &name, &body)) << c.line;
    EXPECT_EQ(name, c.name) << c.line;
    EXPECT_EQ(body, c.body) << c.line;
  }
  std::string name, body;
  EXPECT_FALSE(CtpSplitCommandLine("   ", &name, &body));
  EXPECT_TRUE(CtpValidName("ptzctrl"));
  EXPECT_FALSE(CtpValidName("two words"));
  EXPECT_FALSE(CtpValidName("x\r\nHost: evil"));
  EXPECT_FALSE(CtpValidName(""));
}

TEST(CtpPtz, CommandLineOfEveryShape) {
  struct Case {
    int action;
    int p1, p2;
    const char* want;
  } cases[] = {
      {0, 9, 9, "ptzctrl -chn 1 -act 0"},
      {17, 9, 9, "ptzctrl -chn 1 -act 17"},
      {40, 9, 9, "ptzctrl -chn 1 -act 40"},
      {3, 7, 0, "ptzctrl -chn 1 -act 3 -para 7"},
      {3, 0, 0, "ptzctrl -chn 1 -act 3"},
      {31, 0, 0, "ptzctrl -chn 1 -act 31 -para 0"},
      {11, 4, 5, "ptzctrl -chn 1 -act 11 -para 4,5"},
      {33, 2, (5 << 16) | 6, "ptzctrl -chn 1 -act 19 -para 2,5,6"},
      {33, 2, static_cast<int>(0xFFFF0001u), "ptzctrl -chn 1 -act 19 -para 2,65535,1"},
      // Other actions take two numbers; the blank after the comma travels inside quotes.
      {50, 1, 2, "ptzctrl -chn 1 -act 50 -para \"1, 2\""},
      {50, -1, 2, "ptzctrl -chn 1 -act 50 -para \"4294967295, 2\""},
      // Numbers that would once have been taken for pointers stay numbers.
      {50, 0x7FFF0000, 3, "ptzctrl -chn 1 -act 50 -para \"2147418112, 3\""},
  };
  for (const Case& c : cases) {
    std::string line;
    ASSERT_EQ(CtpPtzCommandLine(1, c.action, c.p1, c.p2, &line), kCtpOk) << c.want;
    EXPECT_EQ(line, c.want);
  }
  std::string line;
  ASSERT_EQ(CtpPtzCommandLine(0, 29, 4, "home", &line), kCtpOk);
  EXPECT_EQ(line, "ptzctrl -chn 0 -act 29 -para 4 -name home");
  ASSERT_EQ(CtpPtzCommandLine(0, 32, 4, "front door", &line), kCtpOk);
  EXPECT_EQ(line, "ptzctrl -chn 0 -act 32 -para 4 -name \"front door\"");
  ASSERT_EQ(CtpPtzCommandLine(2, "zoomin", 3, 4, &line), kCtpOk);
  EXPECT_EQ(line, "ptzctrl -chn 2 -act zoomin -para \"3, 4\"");
  const uint8_t bytes[] = {1, 200, 3};
  ASSERT_EQ(CtpPtzCommandLineBytes(0, 60, bytes, 3, &line), kCtpOk);
  EXPECT_EQ(line, "ptzctrl -chn 0 -act 60 -para \"1, 200, 3\"");
  ASSERT_EQ(CtpPtzCommandLineBytes(0, "cruise", bytes, 1, &line), kCtpOk);
  EXPECT_EQ(line, "ptzctrl -chn 0 -act cruise -para 1");
  ASSERT_EQ(CtpPtzCommandLineText(0, 61, "a,b", &line), kCtpOk);
  EXPECT_EQ(line, "ptzctrl -chn 0 -act 61 -para a,b");

  // A shape the action does not take, or text that would break the command, is refused.
  EXPECT_EQ(CtpPtzCommandLine(0, 29, 1, 2, &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLine(0, 3, 1, "name", &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLine(0, 29, 1, nullptr, &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLine(0, 29, 1, "a\"b", &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLineText(0, 3, "x", &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLineText(0, 60, "x\r\n-chn 9", &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLineBytes(0, 9, bytes, 3, &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLineBytes(0, 60, nullptr, 3, &line), kCtpBadArgument);
  EXPECT_EQ(CtpPtzCommandLine(0, "two words", 1, 2, &line), kCtpBadArgument);
}

TEST(CtpPtz, QuotedParameterSurvivesTheTokens) {
  std::string line, name, body;
  ASSERT_EQ(CtpPtzCommandLine(0, 50, 1, 2, &line), kCtpOk);
  ASSERT_TRUE(CtpSplitCommandLine(line, &name, &body));
  EXPECT_EQ(body, "-chn 0\r\n-act 50\r\n-para \"1, 2\"\r\n\r\n");
  char para[32];
  CtpNameValueItem item{"-para", kCtpValueText, para, sizeof(para), {}};
  EXPECT_EQ(CtpParseNameValue(body, &item, 1, 0), 1);
  EXPECT_STREQ(para, "1, 2");
}

TEST(CtpResponse, StatusLines) {
  struct Case {
    const char* line;
    int want;
    const char* rest;
  } cases[] = {
      {"CTP/1.0 200 OK", 0, " OK"},
      {"CTP/1.1 404 Not Found", 404, " Not Found"},
      {"CTP/1.0 503", 503, ""},
      {"CTP/1.0 99 X", kCtpBadStatus, nullptr},
      {"CTP/1.0 1000 X", kCtpBadStatus, nullptr},
      {"CTP/1.0 abc", kCtpBadStatus, nullptr},
      {"CTP/1.", kCtpBadStatus, nullptr},
      {"CTP/1.x 200 OK", kCtpBadStatus, nullptr},
      {"HTTP/1.0 200 OK", kCtpBadStatus, nullptr},
      {"", kCtpBadStatus, nullptr},
  };
  for (const Case& c : cases) {
    std::string rest = "unchanged";
    EXPECT_EQ(CtpParseStatusLine(c.line, "CTP/1.", &rest), c.want) << c.line;
    if (c.rest) {
      EXPECT_EQ(rest, c.rest) << c.line;
    }
  }
}

TEST(CtpResponse, NameValueLines) {
  int n = 5;
  char text[6];
  std::string str;
  std::string_view view;
  CtpNameValueItem items[] = {
      {"-num", kCtpValueInt, &n, 0, {}},
      {"bare", kCtpValueInt, nullptr, 0, {}},
      {"text", kCtpValueText, text, sizeof(text), {}},
      {"str", kCtpValueString, &str, 0, {}},
      {"view", kCtpValueView, &view, 0, {}},
  };
  const char block[] = "NUM: 0x10\r\n-bare=-7\r\n  text  \"abcdefgh\"  \r\nstr:\tx y\r\nview=v\r\nother 1\r\n\r\nnum 99\r\n";
  EXPECT_EQ(CtpParseNameValue(block, items, 5, 0), 5);
  EXPECT_EQ(n, 16);
  EXPECT_EQ(items[1].size, -7);
  EXPECT_STREQ(text, "abcde");
  EXPECT_EQ(str, "x y");
  EXPECT_EQ(view, "v");
  EXPECT_EQ(items[0].value, "0x10");

  // Case-sensitive names; targets cleared first unless kept.
  EXPECT_EQ(CtpParseNameValue("NUM 3\r\n", items, 5, kCtpNvCase), 0);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(str, "");
  str = "kept";
  EXPECT_EQ(CtpParseNameValue(std::string_view("num 3\0zzz", 9), items, 5, kCtpNvKeep | kCtpNvNulLines), 1);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(str, "kept");
}

TEST(CtpResponse, HeaderBlocks) {
  CtpRespHeader h;
  std::string block =
      "Content-Length: 12\r\nCookie: abc\r\nConnection: keep-alive\r\nTransfer-Encoding: CHUNKED\r\n"
      "CSeq: 4\r\nRetry-After: 5\r\nContent-Type: text/plain\r\nHost: cam\r\nSession: s\r\n\r\nBODY";
  ASSERT_EQ(CtpParseHeaders(block, &h), 0);
  EXPECT_EQ(h.content_length, 12);
  EXPECT_STREQ(h.cookie, "abc");
  EXPECT_TRUE(h.keep_alive);
  EXPECT_TRUE(h.chunked);
  EXPECT_EQ(h.cseq, 4);
  EXPECT_EQ(h.retry_after, 5);
  EXPECT_STREQ(h.content_type, "text/plain");
  EXPECT_STREQ(h.host, "cam");
  EXPECT_STREQ(h.session, "s");
  EXPECT_EQ(block.substr(h.body_start), "BODY");

  ASSERT_EQ(CtpParseHeaders("", &h), 0);
  EXPECT_EQ(h.body_start, 0u);
  ASSERT_EQ(CtpParseHeaders("\r\nrest", &h), 0);
  EXPECT_EQ(h.body_start, 2u);
  EXPECT_EQ(CtpParseHeaders("Content-Length: 3\r\n", &h), kCtpBadHeaders);
  EXPECT_EQ(CtpParseHeaders("Content-Length: -3\r\n\r\n", &h), kCtpBadHeaders);
  ASSERT_EQ(CtpParseHeaders("Content-Length: 99999999999999999999\r\n\r\n", &h), 0);
  EXPECT_EQ(h.content_length, kCtpMaxBody + 1);
  std::string many;
  for (int i = 0; i <= kCtpMaxHeaderLines; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
  EXPECT_EQ(CtpParseHeaders(many + "\r\n", &h), kCtpBadHeaders);
  std::string long_cookie = "Cookie: " + std::string(500, 'c') + "\r\n\r\n";
  ASSERT_EQ(CtpParseHeaders(long_cookie, &h), 0);
  EXPECT_EQ(strlen(h.cookie), static_cast<size_t>(kCtpHeaderTextSize - 1));
}

// A peer in memory: the reply's bytes come in pieces of at most `step`; after them a close, or a time-out.
struct MemoryPeer {
  std::string data;
  size_t step = 1 << 20;
  bool close_at_end = true;
  size_t pos = 0;
  int reads = 0;
  int Read(char* buf, int size, int) {
    ++reads;
    if (pos >= data.size()) return close_at_end ? 0 : -2;
    size_t n = std::min({step, data.size() - pos, static_cast<size_t>(size)});
    memcpy(buf, data.data() + pos, n);
    pos += n;
    return static_cast<int>(n);
  }
};

struct Parsed {
  int result;
  std::string response;
  std::vector<std::string> pieces;
  CtpRespHeader head;
};

Parsed Parse(MemoryPeer peer, bool callback, int size = 5000, int stop_after = -1) {
  Parsed p;
  std::vector<char> buffer(static_cast<size_t>(size));
  struct Sink {
    std::vector<std::string>* pieces;
    int stop_after;
  } sink{&p.pieces, stop_after};
  CtpReadFn read = [&peer](char* b, int n, int t) { return peer.Read(b, n, t); };
  int first = read(buffer.data(), size - 1, 100);
  CtpBodyCallback cb = [](const char* d, int n, void* u) {
    auto* s = static_cast<Sink*>(u);
    EXPECT_EQ(d[n], '\0');
    s->pieces->emplace_back(d, static_cast<size_t>(n));
    return static_cast<int>(s->pieces->size()) == s->stop_after ? 0 : 1;
  };
  p.result = CtpParseResponse(read, buffer.data(), size, first, 100, &p.response, &p.head, callback ? cb : nullptr,
                              &sink, 1);
  return p;
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += x;
  return s;
}

TEST(CtpResponse, WholeResponsesInAnyPieces) {
  struct Case {
    const char* what;
    std::string data;
    bool callback;
    int want;
    std::string response;  // or the joined pieces with a callback
  } cases[] = {
      {"status only", "CTP/1.0 200 OK\r\n", false, 0, " OK"},
      {"status and blank", "CTP/1.0 200 OK\r\n\r\n", false, 0, " OK"},
      {"error status", "CTP/1.0 404 Not Found\r\n\r\n", false, 404, " Not Found"},
      {"busy", "CTP/1.0 503 Busy\r\nRetry-After: 5\r\n\r\n", false, 503 + 5 * 65536, " Busy"},
      {"busy, huge retry", "CTP/1.0 503 Busy\r\nRetry-After: 99999999\r\n\r\n", false,
       503 + kCtpMaxRetryAfter * 65536, " Busy"},
      {"body", "CTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, 0, "hello"},
      {"body and extra bytes", "CTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhello", false, 0, "he"},
      {"body to callback", "CTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, 0, "hello"},
      {"continue first", "CTP/1.0 100 Continue\r\n\r\nCTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi", false, 0, "hi"},
      {"chunked", "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=1\r\nde\r\n0\r\n\r\n", true,
       0, "abcde"},
      {"chunked without callback", "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false,
       kCtpBodyTooBig, " OK"},
      {"bad status", "XTP/1.0 200 OK\r\n\r\n", false, kCtpBadStatus, ""},
      {"status cut by close", "CTP/1.0 20", false, kCtpClosed, ""},
      {"head cut by close", "CTP/1.0 200 OK\r\nContent-Le", false, kCtpClosed, " OK"},
      {"body cut by close", "CTP/1.0 200 OK\r\nContent-Length: 64\r\n\r\nxx", false, kCtpClosed, " OK"},
      {"chunk cut by close", "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true, kCtpClosed, ""},
      {"chunk without end", "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n", true, kCtpClosed, "a"},
      {"chunk size malformed", "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", true, kCtpBadHeaders, ""},
      {"chunk size huge", "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFF\r\n", true,
       kCtpBadHeaders, ""},
      {"chunk data unterminated", "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n", true,
       kCtpBadHeaders, ""},
      {"negative length", "CTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", false, kCtpBadHeaders, " OK"},
      {"length beyond the buffer", "CTP/1.0 200 OK\r\nContent-Length: 6000\r\n\r\n", false, kCtpBodyTooBig, " OK"},
      {"length beyond any body", "CTP/1.0 200 OK\r\nContent-Length: 999999999\r\n\r\n", true, kCtpBodyTooBig, ""},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, size_t{3}, size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.what) + " in pieces of " + std::to_string(step));
      MemoryPeer peer;
      peer.data = c.data;
      peer.step = step;
      Parsed p = Parse(peer, c.callback);
      EXPECT_EQ(p.result, c.want);
      EXPECT_EQ(c.callback ? Joined(p.pieces) : p.response, c.response);
    }
  }
}

TEST(CtpResponse, EndsAndBounds) {
  MemoryPeer peer;
  // No bytes at all: time-out, failure, close.
  std::string out;
  CtpRespHeader head;
  char buf[64];
  CtpReadFn none = [](char*, int, int) { return 0; };
  EXPECT_EQ(CtpParseResponse(none, buf, sizeof(buf), -2, 10, &out, &head, nullptr, nullptr, 0), kCtpTimeout);
  EXPECT_EQ(CtpParseResponse(none, buf, sizeof(buf), -1, 10, &out, &head, nullptr, nullptr, 0), kCtpConnError);
  EXPECT_EQ(CtpParseResponse(none, buf, sizeof(buf), 0, 10, &out, &head, nullptr, nullptr, 0), kCtpClosed);

  // A peer that goes silent mid-reply is a time-out.
  peer.data = "CTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc";
  peer.close_at_end = false;
  EXPECT_EQ(Parse(peer, false).result, kCtpTimeout);

  // A status line or head longer than the buffer.
  peer.data = "CTP/1.0 200 " + std::string(200, 'k') + "\r\n\r\n";
  EXPECT_EQ(Parse(peer, false, 64).result, kCtpBadStatus);
  peer.data = "CTP/1.0 200 OK\r\nX: " + std::string(200, 'k') + "\r\n\r\n";
  EXPECT_EQ(Parse(peer, false, 64).result, kCtpBadHeaders);
  // Endless interim responses.
  peer.data.clear();
  for (int i = 0; i < 20; ++i) peer.data += "CTP/1.0 100 Continue\r\n\r\n";
  EXPECT_EQ(Parse(peer, false).result, kCtpBadStatus);

  // A body longer than the buffer comes through a callback in pieces; a 0 from it stops.
  peer.data = "CTP/1.0 200 OK\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'z');
  peer.close_at_end = true;
  Parsed p = Parse(peer, true, 64);
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(Joined(p.pieces), std::string(300, 'z'));
  p = Parse(peer, true, 64, 2);
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.pieces.size(), 2u);
  // A chunk larger than the buffer.
  peer.data = "CTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100\r\n" + std::string(256, 'c') + "\r\n0\r\n\r\n";
  EXPECT_EQ(Parse(peer, true, 64).result, kCtpBodyTooBig);
  EXPECT_EQ(Parse(peer, true, 5000).result, 0);
}

}  // namespace
