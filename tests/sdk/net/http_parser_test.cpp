// HTTP response parser: whole responses fed in every split, and the malformed
// or hostile ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdk/net/http_client.h"
#include "sdk/net/http_parser.h"

namespace {

struct Collected {
  int status = -1;
  int64_t length = -1;
  std::string body;
  std::string leftover;
  int completes = 0;
  std::vector<std::string> headers;
  int stop_at_event = -1;  // a callback result other than 0 for this event
};

int Collect(int event, const char* data, int64_t value, void* user) {
  Collected* c = static_cast<Collected*>(user);
  switch (event) {
    case kHttpEvStatus: c->status = static_cast<int>(value); break;
    case kHttpEvLength: c->length = value; break;
    case kHttpEvBody: c->body.append(data, static_cast<size_t>(value)); break;
    case kHttpEvComplete:
      ++c->completes;
      if (data) c->leftover.append(data, static_cast<size_t>(value));
      break;
    case kHttpEvHeader: c->headers.emplace_back(data, static_cast<size_t>(value)); break;
  }
  return event == c->stop_at_event ? 77 : 0;
}

// Feeds the response in two pieces cut at `cut`; returns the final result.
int FeedSplit(const std::string& resp, size_t cut, Collected* c, HttpRespParser* p, bool finish = false) {
  HttpRespParserInit(p);
  int r = HttpRespParserFeed(p, resp.data(), cut, Collect, c, nullptr);
  if (r == kHttpParseMore && cut < resp.size())
    r = HttpRespParserFeed(p, resp.data() + cut, resp.size() - cut, Collect, c, nullptr);
  else if (r == kHttpParseDone)
    c->leftover.append(resp, cut, std::string::npos);  // bytes the next read would bring
  if (r == kHttpParseMore && finish) r = HttpRespParserFinish(p, Collect, c);
  return r;
}

struct WholeCase {
  const char* name;
  std::string response;
  int status;
  std::string body;
  std::string leftover;
  bool needs_close;  // body runs to the connection's end
};

void PrintTo(const WholeCase& c, std::ostream* os) { *os << c.name; }

class HttpParserWhole : public ::testing::TestWithParam<WholeCase> {};

TEST_P(HttpParserWhole, EverySplitGivesTheSameResult) {
  const WholeCase& w = GetParam();
  for (size_t cut = 0; cut <= w.response.size(); ++cut) {
    Collected c;
    HttpRespParser p;
    int r = FeedSplit(w.response, cut, &c, &p, w.needs_close);
    ASSERT_EQ(kHttpParseDone, r) << "cut at " << cut;
    EXPECT_EQ(w.status, p.status) << "cut at " << cut;
    EXPECT_EQ(w.body, c.body) << "cut at " << cut;
    EXPECT_EQ(w.leftover, c.leftover) << "cut at " << cut;
    EXPECT_EQ(w.needs_close ? 0 : 1, c.completes) << "cut at " << cut;
    HttpRespParserFree(&p);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Responses, HttpParserWhole,
    ::testing::Values(
        WholeCase{"ContentLength", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhelloNEXT", 200, "hello",
                  "NEXT", false},
        WholeCase{"ZeroLength", "HTTP/1.1 404 Not Found\r\ncontent-length: 0\r\n\r\nrest", 404, "", "rest", false},
        WholeCase{"Chunked",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n1A;ext=1\r\n"
                  "abcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\nHTTP/1.1",
                  200, "helloabcdefghijklmnopqrstuvwxyz", "HTTP/1.1", false},
        WholeCase{"ChunkedWithTrailer",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nX-T: 1\r\n\r\n", 200, "abc",
                  "", false},
        WholeCase{"ChunkedWinsOverLength",
                  "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
                  200, "hi", "", false},
        WholeCase{"UntilClose", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nall of it", 200, "all of it", "", true},
        WholeCase{"Switching", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x02hi", 101, "",
                  "\x81\x02hi", false},
        WholeCase{"NoContentHasNoBody", "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\nHTTP/1.1 200", 204, "",
                  "HTTP/1.1 200", false},
        WholeCase{"BareLineFeeds", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", 200, "ok", "", false}),
    [](const ::testing::TestParamInfo<WholeCase>& info) { return std::string(info.param.name); });

TEST(HttpParser, HeadersLocationAndEvents) {
  const std::string resp =
      "HTTP/1.1 301 Moved\r\nLocation:   ws://other:81/x\r\nX-One: 1\r\nConnection: close\r\n"
      "Content-Length: 3\r\n\r\nabc";
  Collected c;
  HttpRespParser p;
  ASSERT_EQ(kHttpParseDone, FeedSplit(resp, resp.size(), &c, &p));
  EXPECT_EQ(301, c.status);
  EXPECT_EQ(3, c.length);
  ASSERT_NE(nullptr, p.location);
  EXPECT_STREQ("ws://other:81/x", p.location);
  EXPECT_EQ(1, p.connection_close);
  // Content-Length, Location and Transfer-Encoding are not handed out as lines.
  EXPECT_EQ((std::vector<std::string>{"X-One: 1", "Connection: close"}), c.headers);
  HttpRespParserFree(&p);
}

TEST(HttpParser, NotHttpEndsWithStatusZero) {
  for (std::string junk : {"SSH-2.0-OpenSSH\r\n", "xx", "HTTP/2 200\r\n\r\n", "HTTP/1.1 abc\r\n\r\n"}) {
    Collected c;
    HttpRespParser p;
    EXPECT_EQ(kHttpParseDone, FeedSplit(junk, junk.size(), &c, &p)) << junk;
    EXPECT_EQ(0, p.status) << junk;
    EXPECT_EQ(-1, c.status) << junk;
  }
}

TEST(HttpParser, CallbackStopValueEndsReading) {
  const std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
  for (int ev : {kHttpEvStatus, kHttpEvLength, kHttpEvBody}) {
    Collected c;
    c.stop_at_event = ev;
    HttpRespParser p;
    EXPECT_EQ(77, FeedSplit(resp, resp.size(), &c, &p)) << ev;
    HttpRespParserFree(&p);
  }
}

struct BadCase {
  const char* name;
  std::string response;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class HttpParserBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(HttpParserBad, FailsCleanly) {
  const BadCase& b = GetParam();
  for (size_t cut = 0; cut <= b.response.size(); cut += 7) {
    Collected c;
    HttpRespParser p;
    EXPECT_EQ(-1, FeedSplit(b.response, cut, &c, &p)) << "cut at " << cut;
    HttpRespParserFree(&p);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, HttpParserBad,
    ::testing::Values(
        BadCase{"ChunkWithoutCrlf", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcXY0\r\n\r\n"},
        BadCase{"ChunkSizeNotHex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"},
        BadCase{"ChunkSizeOverflow",
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n"},
        BadCase{"NegativeLength", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n"},
        BadCase{"HugeLength", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n"},
        BadCase{"LengthWithJunk", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n"},
        BadCase{"HeaderLongerThanBuffer",
                "HTTP/1.1 200 OK\r\nX-Long: " + std::string(5000, 'a') + "\r\nContent-Length: 0\r\n\r\n"},
        BadCase{"StatusLineLongerThanBuffer", "HTTP/1.1 200 " + std::string(5000, 'b') + "\r\n\r\n"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(HttpParser, LineAtTheLimitIsAccepted) {
  std::string name = "X-Fill: ";
  std::string line = name + std::string(kHttpMaxLine - 2 - name.size(), 'f');  // plus "\r\n" fills the buffer
  const std::string resp = "HTTP/1.1 200 OK\r\n" + line + "\r\nContent-Length: 0\r\n\r\n";
  Collected c;
  HttpRespParser p;
  EXPECT_EQ(kHttpParseDone, FeedSplit(resp, resp.size(), &c, &p));
  ASSERT_EQ(1u, c.headers.size());
  EXPECT_EQ(line, c.headers[0]);
}

TEST(HttpParser, CutShortIsNotComplete) {
  const std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
  Collected c;
  HttpRespParser p;
  EXPECT_EQ(kHttpParseMore, FeedSplit(resp, resp.size(), &c, &p, true));
  EXPECT_EQ(0, c.completes);
}

// The memory collector refuses bodies beyond its limit, announced or not.
TEST(HttpParser, MemoryCollectorCapsBodies) {
  HttpResponse resp{};
  HttpMemCollector c{&resp, nullptr, nullptr, 0};
  EXPECT_EQ(0, httpRespDataCb_toMem(kHttpEvStatus, nullptr, 200, &c));
  EXPECT_EQ(kNetProtocol, httpRespDataCb_toMem(kHttpEvLength, nullptr, int64_t{kHttpMaxMemBody} + 1, &c));
  EXPECT_EQ(nullptr, resp.body);  // nothing was reserved
  EXPECT_EQ(0, httpRespDataCb_toMem(kHttpEvLength, nullptr, 10, &c));
  ASSERT_NE(nullptr, resp.body);
  EXPECT_EQ('\0', resp.body[0]);  // a reserved body is a terminated empty text until data comes
  std::string piece(1 << 20, 'q');
  int rc = 0;
  int pieces = 0;
  while (rc == 0 && pieces < 100) {
    rc = httpRespDataCb_toMem(kHttpEvBody, piece.data(), static_cast<int64_t>(piece.size()), &c);
    ++pieces;
  }
  EXPECT_EQ(kNetProtocol, rc);
  EXPECT_EQ(kHttpMaxMemBody / (1 << 20) + 1, pieces);
  EXPECT_LE(resp.body_length, kHttpMaxMemBody);
  EXPECT_EQ('\0', resp.body[resp.body_length]);
  HttpRespFree(&resp);
}

}  // namespace
