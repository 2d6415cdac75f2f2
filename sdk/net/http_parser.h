// HTTP/1.1 response parser: status line, headers, and a body delimited by
// Content-Length, chunked coding or the connection's end. Bytes are fed as they
// arrive; the parts are handed to a data callback.
#pragma once

#include <cstddef>
#include <cstdint>

// Events of the data callback.
enum HttpRespEvent {
  kHttpEvStatus = 0,     // value: status code
  kHttpEvLength = 1,     // value: content length (known, not chunked)
  kHttpEvBody = 2,       // data, count: a piece of the body
  kHttpEvComplete = 3,   // data, count: bytes after the response (result ignored)
  kHttpEvHeader = 4,     // data, count: a header line (not Content-Length, Location, Transfer-Encoding)
};

// Returns 0 to go on; anything else stops the reader with that value.
typedef int (*HttpRespDataCb)(int event, const char* data, int64_t value, void* user);

// The largest header line (and status line) the reader accepts.
inline constexpr int kHttpMaxLine = 4095;

struct HttpRespParser {
  int state;
  int status;
  int chunked;
  int connection_close;   // "Connection: close" was seen
  int64_t content_length; // -1 when not given
  int64_t remaining;      // bytes left of the body or of the current chunk
  char* location;         // heap copy of the Location value, or null
  int line_len;
  char line[kHttpMaxLine + 1];
};

// Results of HttpRespParserFeed besides a callback's stop value.
enum {
  kHttpParseMore = 0,  // all bytes taken, the response is not complete yet
  kHttpParseDone = 1,  // complete; *used tells how many bytes belonged to it
};

void HttpRespParserInit(HttpRespParser* p);
// Frees the Location copy.
void HttpRespParserFree(HttpRespParser* p);
// Takes bytes of the response. kHttpParseMore, kHttpParseDone (with event 3
// given the bytes after the response), a callback's stop value, or -1 for a
// malformed response (a line longer than kHttpMaxLine, a bad length or chunk).
// A reply that does not begin with "HTTP/1." is done with status 0.
int HttpRespParserFeed(HttpRespParser* p, const char* data, size_t length, HttpRespDataCb cb, void* user,
                       size_t* used);
// The peer closed: ends a body that runs to the connection's end (done), or
// reports whether the response was cut short (kHttpParseMore).
int HttpRespParserFinish(HttpRespParser* p, HttpRespDataCb cb, void* user);
// 1 while the body runs until the connection ends.
int HttpRespParserUntilClose(const HttpRespParser* p);
