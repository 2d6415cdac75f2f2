// HTTP/1.1 response parser.
#include "sdk/net/http_parser.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

enum State {
  kStatusLine,
  kHeaders,
  kChunkSize,
  kChunkData,
  kChunkEnd,    // the "\r\n" after a chunk's data
  kTrailers,    // lines after the last chunk, up to the empty line
  kBodyLength,
  kBodyToClose,
  kDone,
};

constexpr int64_t kMaxLength = int64_t{1} << 62;

bool StartsWithNoCase(const char* s, size_t n, const char* prefix) {
  size_t k = strlen(prefix);
  return n >= k && strncasecmp(s, prefix, k) == 0;
}

// A header value after its name: leading blanks skipped.
const char* ValueAfter(const char* line, size_t name_len, size_t* value_len, size_t line_len) {
  size_t i = name_len;
  while (i < line_len && (line[i] == ' ' || line[i] == '\t')) ++i;
  *value_len = line_len - i;
  return line + i;
}

// Strict decimal with optional surrounding blanks; -1 when malformed.
int64_t ParseLength(const char* v, size_t n) {
  while (n > 0 && (v[n - 1] == ' ' || v[n - 1] == '\t')) --n;
  if (n == 0) return -1;
  int64_t x = 0;
  for (size_t i = 0; i < n; ++i) {
    if (v[i] < '0' || v[i] > '9') return -1;
    if (x > (kMaxLength - (v[i] - '0')) / 10) return -1;
    x = x * 10 + (v[i] - '0');
  }
  return x;
}

// Hex chunk size, extensions after ';' ignored; -1 when malformed.
int64_t ParseChunkSize(const char* v, size_t n) {
  size_t i = 0;
  int64_t x = 0;
  int digits = 0;
  for (; i < n; ++i) {
    char c = v[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    if (++digits > 15) return -1;
    x = x * 16 + d;
  }
  if (digits == 0) return -1;
  while (i < n && (v[i] == ' ' || v[i] == '\t')) ++i;
  if (i < n && v[i] != ';') return -1;
  return x;
}

bool ContainsNoCase(const char* v, size_t n, const char* word) {
  size_t k = strlen(word);
  for (size_t i = 0; i + k <= n; ++i)
    if (strncasecmp(v + i, word, k) == 0) return true;
  return false;
}

}  // namespace

void HttpRespParserInit(HttpRespParser* p) {
  p->state = kStatusLine;
  p->status = 0;
  p->chunked = 0;
  p->connection_close = 0;
  p->content_length = -1;
  p->remaining = 0;
  p->location = nullptr;
  p->line_len = 0;
  p->line[0] = '\0';
}

void HttpRespParserFree(HttpRespParser* p) {
  free(p->location);
  p->location = nullptr;
}

int HttpRespParserUntilClose(const HttpRespParser* p) { return p->state == kBodyToClose; }

namespace {

// Completes the response: event 3 with the bytes after it.
int Complete(HttpRespParser* p, const char* rest, size_t rest_len, HttpRespDataCb cb, void* user) {
  p->state = kDone;
  cb(kHttpEvComplete, rest, static_cast<int64_t>(rest_len), user);
  return kHttpParseDone;
}

// Handles the end of the header block; returns kHttpParseMore to go on with the body.
int HeadersEnded(HttpRespParser* p, const char* rest, size_t rest_len, HttpRespDataCb cb, void* user) {
  // Informational replies end at their headers; 204 and 304 never carry a body.
  if ((p->status >= 100 && p->status <= 199) || p->status == 204 || p->status == 304)
    return Complete(p, rest, rest_len, cb, user);
  if (p->chunked) {
    p->state = kChunkSize;
    return kHttpParseMore;
  }
  if (p->content_length >= 0) {
    int r = cb(kHttpEvLength, nullptr, p->content_length, user);
    if (r != 0) return r;
    if (p->content_length == 0) return Complete(p, rest, rest_len, cb, user);
    p->remaining = p->content_length;
    p->state = kBodyLength;
    return kHttpParseMore;
  }
  p->state = kBodyToClose;
  return kHttpParseMore;
}

// One complete line (without its line end) in the current state.
int OnLine(HttpRespParser* p, const char* line, size_t n, const char* rest, size_t rest_len, HttpRespDataCb cb,
           void* user) {
  switch (p->state) {
    case kStatusLine: {
      // "HTTP/1.x NNN ..."
      int status = 0;
      for (size_t i = 9; i < n && i < 12 && line[i] >= '0' && line[i] <= '9'; ++i) status = status * 10 + (line[i] - '0');
      p->status = status;
      if (status == 0) {
        p->state = kDone;
        return kHttpParseDone;
      }
      int r = cb(kHttpEvStatus, nullptr, status, user);
      if (r != 0) return r;
      p->state = kHeaders;
      return kHttpParseMore;
    }
    case kHeaders: {
      if (n == 0) return HeadersEnded(p, rest, rest_len, cb, user);
      size_t vlen;
      if (StartsWithNoCase(line, n, "Content-Length:")) {
        const char* v = ValueAfter(line, 15, &vlen, n);
        int64_t len = ParseLength(v, vlen);
        if (len < 0) return -1;
        p->content_length = len;
        return kHttpParseMore;
      }
      if (n >= 9 && strncmp(line, "Location:", 9) == 0) {
        const char* v = ValueAfter(line, 9, &vlen, n);
        free(p->location);
        p->location = static_cast<char*>(malloc(vlen + 1));
        if (!p->location) return -1;
        memcpy(p->location, v, vlen);
        p->location[vlen] = '\0';
        return kHttpParseMore;
      }
      if (StartsWithNoCase(line, n, "Transfer-Encoding:")) {
        const char* v = ValueAfter(line, 18, &vlen, n);
        if (ContainsNoCase(v, vlen, "chunked")) p->chunked = 1;
        return kHttpParseMore;
      }
      if (StartsWithNoCase(line, n, "Connection:")) {
        const char* v = ValueAfter(line, 11, &vlen, n);
        if (ContainsNoCase(v, vlen, "close")) p->connection_close = 1;
      }
      return cb(kHttpEvHeader, line, static_cast<int64_t>(n), user);
    }
    case kChunkSize: {
      int64_t size = ParseChunkSize(line, n);
      if (size < 0) return -1;
      if (size == 0) {
        p->state = kTrailers;
        return kHttpParseMore;
      }
      p->remaining = size;
      p->state = kChunkData;
      return kHttpParseMore;
    }
    case kTrailers:
      if (n == 0) return Complete(p, rest, rest_len, cb, user);
      return kHttpParseMore;
    default:
      return -1;
  }
}

bool CollectsLines(int state) {
  return state == kStatusLine || state == kHeaders || state == kChunkSize || state == kTrailers;
}

}  // namespace

int HttpRespParserFeed(HttpRespParser* p, const char* data, size_t length, HttpRespDataCb cb, void* user,
                       size_t* used) {
  size_t pos = 0;
  int r = kHttpParseMore;
  while (p->state != kDone) {
    if (CollectsLines(p->state)) {
      if (pos >= length) break;
      const char* nl = static_cast<const char*>(memchr(data + pos, '\n', length - pos));
      size_t take = nl ? static_cast<size_t>(nl - (data + pos)) + 1 : length - pos;
      if (static_cast<size_t>(p->line_len) + take > static_cast<size_t>(kHttpMaxLine)) {
        if (used) *used = pos;
        return -1;  // a line longer than the reader's buffer
      }
      memcpy(p->line + p->line_len, data + pos, take);
      p->line_len += static_cast<int>(take);
      p->line[p->line_len] = '\0';
      pos += take;
      if (p->state == kStatusLine) {
        size_t k = p->line_len < 7 ? static_cast<size_t>(p->line_len) : 7;
        if (memcmp(p->line, "HTTP/1.", k) != 0) {
          p->state = kDone;  // not an HTTP/1.x reply
          p->status = 0;
          r = kHttpParseDone;
          break;
        }
      }
      if (!nl) break;
      size_t n = static_cast<size_t>(p->line_len) - 1;
      if (n > 0 && p->line[n - 1] == '\r') --n;
      p->line_len = 0;
      r = OnLine(p, p->line, n, data + pos, length - pos, cb, user);
      if (r == kHttpParseDone) break;
      if (r != kHttpParseMore) {
        if (used) *used = pos;
        return r;
      }
      continue;
    }
    if (p->state == kChunkEnd) {
      // Needs "\r\n"; one byte may come now and the other later.
      while (pos < length && p->line_len < 2) p->line[p->line_len++] = data[pos++];
      if (p->line_len < 2) break;
      bool ok = p->line[0] == '\r' && p->line[1] == '\n';
      p->line_len = 0;
      if (!ok) {
        p->state = kDone;
        cb(kHttpEvComplete, nullptr, 0, user);
        if (used) *used = pos;
        return -1;
      }
      p->state = kChunkSize;
      continue;
    }
    if (pos >= length) break;
    size_t avail = length - pos;
    size_t take = avail;
    if (p->state != kBodyToClose && static_cast<int64_t>(take) > p->remaining) take = static_cast<size_t>(p->remaining);
    r = cb(kHttpEvBody, data + pos, static_cast<int64_t>(take), user);
    pos += take;
    if (r != 0) {
      if (used) *used = pos;
      return r;
    }
    r = kHttpParseMore;
    if (p->state == kBodyToClose) continue;
    p->remaining -= static_cast<int64_t>(take);
    if (p->remaining > 0) continue;
    if (p->state == kChunkData) {
      p->state = kChunkEnd;
      p->line_len = 0;
      continue;
    }
    r = Complete(p, data + pos, length - pos, cb, user);
    break;
  }
  if (used) *used = pos;
  return p->state == kDone ? kHttpParseDone : r;
}

int HttpRespParserFinish(HttpRespParser* p, HttpRespDataCb cb, void* user) {
  if (p->state == kBodyToClose) {
    p->state = kDone;
    return kHttpParseDone;
  }
  return p->state == kDone ? kHttpParseDone : kHttpParseMore;
}
