// HTTP/1.1 client over TcpConn.
#include "sdk/net/http_client.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

#include "sdk/net/net_io.h"
#include "util/base64.h"
#include "util/log.h"

namespace {

bool CopyPart(char* out, int size, const char* from, size_t n) {
  if (n >= static_cast<size_t>(size)) return false;
  if (out) {
    memcpy(out, from, n);
    out[n] = '\0';
  }
  return true;
}

int DefaultPort(int scheme) { return (scheme == kSchemeHttps || scheme == kSchemeWss) ? 443 : 80; }

int RemainingMs(uint64_t start, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  return timeout_ms - static_cast<int>(NetNowMs() - start);
}

}  // namespace

std::string UrlForLog(const char* url) {
  if (!url) return "";
  size_t kept = strcspn(url, "?#");
  std::string u(url, kept);
  size_t authority = u.find("://");
  authority = authority == std::string::npos ? 0 : authority + 3;
  size_t end = u.find('/', authority);
  size_t at = u.rfind('@', end == std::string::npos ? u.size() : end);
  if (at != std::string::npos && at >= authority) u.erase(authority, at + 1 - authority);
  if (url[kept]) u += "?...";
  return u;
}

int http_parse_url(const char* url, int* scheme, char* user, char* password, char* host, int* port,
                   const char** path) {
  if (!url) return kNetBadUrl;
  // Blanks and control characters would break the request line.
  for (const char* c = url; *c; ++c)
    if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7F) return kNetBadUrl;
  static const struct {
    const char* prefix;
    int scheme;
  } kSchemes[] = {{"https://", kSchemeHttps}, {"wss://", kSchemeWss}, {"http://", kSchemeHttp}, {"ws://", kSchemeWs}};
  int sc = -1;
  const char* p = nullptr;
  for (const auto& s : kSchemes) {
    size_t n = strlen(s.prefix);
    if (strncmp(url, s.prefix, n) == 0) {
      sc = s.scheme;
      p = url + n;
      break;
    }
  }
  if (sc < 0) {
    LogPrintf(kLogError, nullptr, "http_parse_url", "invalid url: %s\n", UrlForLog(url).c_str());
    return 0;
  }
  int pt = DefaultPort(sc);
  const char* end = p + strcspn(p, "/?#");  // end of the authority
  const char* at = static_cast<const char*>(memchr(p, '@', static_cast<size_t>(end - p)));
  if (user) user[0] = '\0';
  if (password) password[0] = '\0';
  if (at) {
    const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(at - p)));
    if (colon) {
      if (!CopyPart(user, kUrlUserSize, p, static_cast<size_t>(colon - p)) ||
          !CopyPart(password, kUrlUserSize, colon + 1, static_cast<size_t>(at - colon - 1)))
        return kNetBadUrl;
      p = at + 1;
    }
  }
  const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(end - p)));
  const char* host_end = colon ? colon : end;
  if (host_end == p || !CopyPart(host, kUrlHostSize, p, static_cast<size_t>(host_end - p))) return kNetBadUrl;
  if (colon) {
    long v = 0;
    const char* d = colon + 1;
    if (d == end) return kNetBadUrl;
    for (; d < end; ++d) {
      if (*d < '0' || *d > '9') return kNetBadUrl;
      v = v * 10 + (*d - '0');
      if (v > 65535) return kNetBadUrl;
    }
    if (v == 0) return kNetBadUrl;
    pt = static_cast<int>(v);
  }
  if (scheme) *scheme = sc;
  if (port) *port = pt;
  if (path) *path = end;
  return 1;
}

const char* HttpMethodName(int method) {
  static const char* const kNames[] = {"GET", "PUT", "POST", "DELETE", "HEAD", "CONNECT", "OPTIONS"};
  return (method >= 0 && method < 7) ? kNames[method] : "";
}

int HttpDate(time_t t, char* out, int size) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm tmv;
  gmtime_r(&t, &tmv);
  return snprintf(out, static_cast<size_t>(size), "%s, %02d %s %d %02d:%02d:%02d GMT", kDays[tmv.tm_wday],
                  tmv.tm_mday, kMonths[tmv.tm_mon], tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

int HttpProxyConnect(TcpConn* conn, int scheme, const char* host, int port, int timeout_ms) {
  const bool tls = scheme == kSchemeHttps || scheme == kSchemeWss;
  if (strcmp(conn->host, host) != 0 || conn->port != port || (tls && !conn->tls) ||
      (!tls && conn->tls && conn->socket >= 0)) {
    TcpConnReset(conn);
    snprintf(conn->host, sizeof(conn->host), "%s", host);
    conn->port = port;
  }
  // Unread bytes or a closed peer on an idle connection: start afresh.
  if (conn->socket >= 0 && SockWaitReadable(conn->socket, 0) != 0) TcpConnClose(conn);
  if (conn->socket >= 0) return 0;
  return TcpConnOpen(tls ? 1 : 0, host, port, timeout_ms, conn);
}

int HttpWriteRequest(TcpConn* conn, int method, const char* url, const HttpRequestOptions* options,
                     const void* body, int body_length, int timeout_ms) {
  const uint64_t start = NetNowMs();
  int scheme = 0, port = 0;
  char user[kUrlUserSize], password[kUrlUserSize], host[kUrlHostSize];
  const char* path = "";
  if (http_parse_url(url, &scheme, user, password, host, &port, &path) != 1) return kNetBadUrl;
  int rc = HttpProxyConnect(conn, scheme, host, port, timeout_ms);
  if (rc != 0) return rc;
  int left = RemainingMs(start, timeout_ms);
  if (timeout_ms >= 0 && left < 1) {
    TcpConnReset(conn);
    return kNetTimeout;
  }

  std::string head;
  head.reserve(512);
  head += HttpMethodName(method);
  head += ' ';
  if (*path != '/') head += '/';
  head += path;
  head += " HTTP/1.1\r\n";
  if (options && options->host_cb) options->host_cb("Host", host, kUrlHostSize, options->user_value);
  host[kUrlHostSize - 1] = '\0';
  head += "Host: ";
  head += host;
  if (port != DefaultPort(scheme)) {
    head += ':';
    head += std::to_string(port);
  }
  const char* extra = options ? options->extra_headers : nullptr;
  if (extra && (strncmp(extra, "Date:", 5) == 0 || strstr(extra, "\r\nDate:"))) {
    head += "\r\n";
  } else {
    char date[64];
    HttpDate(time(nullptr), date, sizeof(date));
    head += "\r\nDate: ";
    head += date;
    head += "\r\n";
  }
  const char* cred_user = nullptr;
  const char* cred_pass = nullptr;
  if (user[0]) {
    cred_user = user;
    cred_pass = password;
  } else if (options && options->user && options->user[0]) {
    cred_user = options->user;
    cred_pass = options->password ? options->password : "";
  }
  if (cred_user) {
    std::string pair = std::string(cred_user) + ":" + cred_pass;
    std::string b64(4 * ((pair.size() + 2) / 3) + 1, '\0');
    int n = Base64Encode(pair.data(), pair.size(), b64.data(), b64.size());
    if (n > 0) {
      head += "Authorization: Basic ";
      head.append(b64.data(), static_cast<size_t>(n));
      head += "\r\n";
    }
  }
  if (method != kHttpGet) {
    if (options && options->chunked)
      head += "Transfer-Encoding: chunked\r\n";
    else if (body_length != 0)
      head += "Content-Length: " + std::to_string(body_length) + "\r\n";
    if (options && options->content_type == 1) head += "Content-Type: application/x-www-form-urlencoded\r\n";
    if (options && options->content_type == 2) {
      head += "Content-Type: multipart/form-data; boundary=";
      head += options->boundary ? options->boundary : "";
      head += "\r\n";
    }
  }
  if (extra) head += extra;
  head += "\r\n";
  if (head.size() > static_cast<size_t>(kHttpMaxHead)) {
    LogPrintf(kLogError, nullptr, "HttpWriteRequest", "request head of %d bytes is too long\n", static_cast<int>(head.size()));
    TcpConnReset(conn);
    return kNetProtocol;
  }
  const int head_len = static_cast<int>(head.size());
  rc = TcpConnSend(conn, head.data(), head_len, RemainingMs(start, timeout_ms));
  if (rc < head_len) return rc < 0 ? rc : kNetIo;
  if (method == kHttpGet) return head_len;
  if (options && options->body_writer) {
    rc = options->body_writer(conn, options, options->user_value, RemainingMs(start, timeout_ms));
    if (rc < 0) {
      TcpConnReset(conn);
      return rc;
    }
    return head_len + rc;
  }
  if (options && options->chunked) return head_len;
  if (body_length > 0) {
    rc = TcpConnSend(conn, body, body_length, RemainingMs(start, timeout_ms));
    if (rc < 0) return rc;
  }
  return head_len + body_length;
}

namespace {

// Reads one response, first from initial bytes already taken off the connection.
int ReadResponse(TcpConn* conn, HttpResponse* resp, HttpRespDataCb cb, void* user, int timeout_ms,
                 const char* initial, int initial_len) {
  memset(resp, 0, sizeof(*resp));
  HttpRespParser* parser = static_cast<HttpRespParser*>(malloc(sizeof(HttpRespParser)));
  if (!parser) return kNetIo;
  HttpRespParserInit(parser);
  const uint64_t start = NetNowMs();
  // Reads are larger than the longest header line the parser takes (kHttpMaxLine).
  constexpr int kReadSize = 64 * 1024;
  std::unique_ptr<char[]> holder(new (std::nothrow) char[kReadSize + 1]);
  char* buf = holder.get();
  if (!buf) {
    HttpRespParserFree(parser);
    free(parser);
    return kNetIo;
  }
  int result = 0;
  int r = kHttpParseMore;
  if (initial_len > 0) r = HttpRespParserFeed(parser, initial, static_cast<size_t>(initial_len), cb, user, nullptr);
  while (r == kHttpParseMore) {
    int left = RemainingMs(start, timeout_ms);
    if (timeout_ms >= 0 && left < 0) {
      r = kNetTimeout;
      break;
    }
    int n = TcpConnWaitRead(conn, buf, kReadSize, left);
    if (n < 0) {
      r = n;
      break;
    }
    resp->received += n;
    if (n == 0) {
      // The peer closed: the end of a body that runs to the close, or a reply cut short.
      r = HttpRespParserFinish(parser, cb, user);
      if (r != kHttpParseDone) r = (resp->received == 0) ? static_cast<int>(kHttpParseDone) : static_cast<int>(kNetNoConn);
      TcpConnClose(conn);
      break;
    }
    buf[n] = '\0';
    r = HttpRespParserFeed(parser, buf, static_cast<size_t>(n), cb, user, nullptr);
  }
  if (r == kHttpParseDone) {
    result = 0;
    // The peer will close, or the stream is not HTTP: the connection cannot carry another request.
    if ((parser->connection_close || parser->status == 0) && conn->socket >= 0) TcpConnClose(conn);
  } else {
    result = r;
  }
  resp->status = parser->status;
  resp->location = parser->location;
  parser->location = nullptr;
  HttpRespParserFree(parser);
  free(parser);
  return result;
}

// Grows a heap body so that need bytes and a NUL fit: by steps of at least
// step bytes, and by half the current size for long bodies.
bool GrowBody(HttpResponse* resp, int* capacity, int64_t need, int step) {
  if (need + 1 <= *capacity) return true;
  int64_t cap = *capacity;
  while (cap < need + 1) cap += cap / 2 > step ? cap / 2 : step;
  if (cap > int64_t{kHttpMaxMemBody} + 1 && need + 1 <= int64_t{kHttpMaxMemBody} + 1) cap = int64_t{kHttpMaxMemBody} + 1;
  char* b = static_cast<char*>(realloc(resp->body, static_cast<size_t>(cap)));
  if (!b) return false;
  resp->body = b;
  resp->body[resp->body_length] = '\0';
  *capacity = static_cast<int>(cap);
  return true;
}

int AppendBody(HttpResponse* resp, int* capacity, const char* data, int64_t n, int step) {
  int64_t need = static_cast<int64_t>(resp->body_length) + n;
  if (need > kHttpMaxMemBody) {
    LogPrintf(kLogError, nullptr, "HttpReadResponse", "body larger than %d bytes refused\n", kHttpMaxMemBody);
    return kNetProtocol;
  }
  if (!GrowBody(resp, capacity, need, step)) return kNetIo;
  memcpy(resp->body + resp->body_length, data, static_cast<size_t>(n));
  resp->body_length = static_cast<int>(need);
  resp->body[need] = '\0';
  return 0;
}

int Reserve(HttpResponse* resp, int* capacity, int64_t length) {
  if (length <= 0) return 0;
  if (length > kHttpMaxMemBody) {
    LogPrintf(kLogError, nullptr, "HttpReadResponse", "Content-Length %lld refused\n", static_cast<long long>(length));
    return kNetProtocol;
  }
  return GrowBody(resp, capacity, length, static_cast<int>(length) + 1) ? 0 : kNetIo;
}

void KeepLeftover(HttpResponse* resp, const char* data, int64_t n) {
  free(resp->leftover);
  resp->leftover = nullptr;
  resp->leftover_length = 0;
  if (n <= 0) return;
  resp->leftover = static_cast<char*>(malloc(static_cast<size_t>(n)));
  if (!resp->leftover) return;
  memcpy(resp->leftover, data, static_cast<size_t>(n));
  resp->leftover_length = static_cast<int>(n);
}

int RecvToMem(TcpConn* conn, HttpResponse* resp, int timeout_ms, HttpHeaderCb header_cb, void* user,
              const char* initial, int initial_len) {
  HttpMemCollector c{resp, header_cb, user, 0};
  int rc = ReadResponse(conn, resp, httpRespDataCb_toMem, &c, timeout_ms, initial, initial_len);
  if (rc != 0) {
    HttpRespFree(resp);
    TcpConnReset(conn);
  }
  return rc;
}

int RecvToFile(TcpConn* conn, const char* path, int timeout_ms, HttpResponse* resp, const char* initial,
               int initial_len) {
  HttpFileCollector c{resp, path, -1, 0, 0};
  int rc = ReadResponse(conn, resp, httpRespDataCb_toFile, &c, timeout_ms, initial, initial_len);
  const bool wrote_file = c.fd >= 0;
  if (c.fd >= 0) close(c.fd);
  if (wrote_file && (rc != 0 || !c.complete)) unlink(path);
  if (rc != 0) {
    HttpRespFree(resp);
    if (rc < 0) TcpConnReset(conn);
  }
  return rc;
}

}  // namespace

int HttpReadResponse(TcpConn* conn, HttpResponse* response, HttpRespDataCb cb, void* user, int timeout_ms) {
  return ReadResponse(conn, response, cb, user, timeout_ms, nullptr, 0);
}

int httpRespDataCb_toMem(int event, const char* data, int64_t value, void* collector) {
  HttpMemCollector* c = static_cast<HttpMemCollector*>(collector);
  HttpResponse* resp = c->response;
  switch (event) {
    case kHttpEvStatus:
      resp->status = static_cast<int>(value);
      return 0;
    case kHttpEvLength:
      return Reserve(resp, &c->capacity, value);
    case kHttpEvBody:
      return AppendBody(resp, &c->capacity, data, value, 4096);
    case kHttpEvComplete:
      KeepLeftover(resp, data, value);
      return 0;
    case kHttpEvHeader: {
      if (!c->header_cb) return 0;
      const char* colon = static_cast<const char*>(memchr(data, ':', static_cast<size_t>(value)));
      if (!colon) return 0;
      std::string name(data, static_cast<size_t>(colon - data));
      const char* v = colon + 1;
      const char* end = data + value;
      while (v < end && (*v == ' ' || *v == '\t')) ++v;
      std::string val(v, static_cast<size_t>(end - v));
      return c->header_cb(name.c_str(), val.c_str(), c->user);
    }
    default:
      return 0;
  }
}

int httpRespDataCb_toFile(int event, const char* data, int64_t value, void* collector) {
  HttpFileCollector* c = static_cast<HttpFileCollector*>(collector);
  HttpResponse* resp = c->response;
  auto open_file = [c]() -> int {
    c->fd = open(c->path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (c->fd < 0) {
      LogPrintf(kLogError, nullptr, "httpRespDataCb_toFile", "create local file %s: %s\n", c->path, strerror(errno));
      return kNetFileCreate;
    }
    return 0;
  };
  switch (event) {
    case kHttpEvStatus:
      resp->status = static_cast<int>(value);
      return 0;
    case kHttpEvLength:
      return resp->status == 200 ? 0 : Reserve(resp, &c->capacity, value);
    case kHttpEvBody: {
      if (resp->status != 200) return AppendBody(resp, &c->capacity, data, value, 1024);
      if (c->fd < 0 && open_file() != 0) return kNetFileCreate;
      int64_t done = 0;
      while (done < value) {
        ssize_t n = write(c->fd, data + done, static_cast<size_t>(value - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          LogPrintf(kLogError, nullptr, "httpRespDataCb_toFile", "write local file %s: %s\n", c->path, strerror(errno));
          return kNetFileCreate;
        }
        done += n;
      }
      return 0;
    }
    case kHttpEvComplete:
      // An empty 200 body still gives its (empty) file.
      if (resp->status == 200 && c->fd < 0 && open_file() != 0) return 0;
      c->complete = 1;
      KeepLeftover(resp, data, value);
      return 0;
    default:
      return 0;
  }
}

int HttpRecvToMem(TcpConn* conn, HttpResponse* response, int timeout_ms, HttpHeaderCb header_cb, void* user) {
  return RecvToMem(conn, response, timeout_ms, header_cb, user, nullptr, 0);
}

int HttpRecvToFile(TcpConn* conn, const char* path, int timeout_ms, HttpResponse* response) {
  return RecvToFile(conn, path, timeout_ms, response, nullptr, 0);
}

void HttpRespFree(HttpResponse* response) {
  free(response->body);
  free(response->location);
  free(response->leftover);
  response->body = nullptr;
  response->location = nullptr;
  response->leftover = nullptr;
  response->body_length = 0;
  response->leftover_length = 0;
}

int HttpRequest(int timeout_ms, TcpConn* conn, int method, const char* url, const HttpRequestOptions* options,
                const void* body, int body_length, HttpResponse* response, const char* local_path) {
  const uint64_t start = NetNowMs();
  memset(response, 0, sizeof(*response));
  int sent = HttpWriteRequest(conn, method, url, options, body, body_length, timeout_ms);
  if (sent < 0) return sent;
  std::string carry;  // bytes that followed an interim reply
  int rc;
  for (;;) {
    int left = RemainingMs(start, timeout_ms);
    if (timeout_ms >= 0 && left <= 0) {
      TcpConnReset(conn);
      return kNetTimeout;
    }
    rc = local_path ? RecvToFile(conn, local_path, left, response, carry.data(), static_cast<int>(carry.size()))
                    : RecvToMem(conn, response, left, nullptr, nullptr, carry.data(), static_cast<int>(carry.size()));
    if (rc != 0) break;
    // Interim replies ("100 Continue" and the like) precede the real one.
    if (response->status < 100 || response->status > 199 || response->status == 101) break;
    carry.assign(response->leftover ? response->leftover : "", static_cast<size_t>(response->leftover_length));
    HttpRespFree(response);
  }
  response->sent = sent;
  if (rc < 0) TcpConnReset(conn);
  return rc;
}

int HttpPost(TcpConn* conn, const char* url, const HttpRequestOptions* options, const void* body, int body_length,
             int timeout_ms, HttpResponse* response) {
  return HttpRequest(timeout_ms, conn, kHttpPost, url, options, body, body_length, response, nullptr);
}
