// WebSocket client.
#include "sdk/net/ws_client.h"

#include <openssl/rand.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <new>
#include <string>
#include <vector>

#include "sdk/net/http_client.h"
#include "sdk/net/net_io.h"
#include "sdk/net/sha1.h"
#include "util/base64.h"
#include "util/log.h"

namespace {

const char kWsGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// Unpredictable bytes for handshake keys and masks.
void RandomBytes(uint8_t* out, int n) {
  if (RAND_bytes(out, n) != 1) {
    // The generator failing is not expected; fall back to the OS source.
    arc4random_buf(out, static_cast<size_t>(n));
  }
}

bool EqualsNoCase(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

}  // namespace

int WsHandshakeHeaderCb(const char* name, const char* value, void* state) {
  WsHandshakeState* st = static_cast<WsHandshakeState*>(state);
  if (EqualsNoCase(name, "Upgrade") && EqualsNoCase(value, "websocket")) st->flags |= 1;
  else if (EqualsNoCase(name, "Connection") && EqualsNoCase(value, "upgrade")) st->flags |= 2;
  else if (EqualsNoCase(name, "Sec-WebSocket-Accept") && strcmp(value, st->expected) == 0) st->flags |= 4;
  return 0;
}

int _UpgradeToWs(HttpResponse* response, const char* path, TcpConn* conn, const char* host, int port,
                 const char* extra_headers, int timeout_ms) {
  uint8_t raw_key[16];
  RandomBytes(raw_key, sizeof(raw_key));
  char key[32];
  Base64Encode(raw_key, sizeof(raw_key), key, sizeof(key));

  std::string req = "GET ";
  if (!path || *path != '/') req += '/';
  if (path) req += path;
  req += " HTTP/1.1\r\n";
  if (host) {
    req += "Host: ";
    req += host;
    if (port != 0) {
      req += ':';
      req += std::to_string(port);
    }
    req += "\r\n";
  }
  req += "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
  req += key;
  req += "\r\nSec-WebSocket-Version: 13\r\n";
  if (extra_headers) req += extra_headers;
  req += "\r\n";
  if (req.size() > 1023) {
    LogPrintf(kLogError, nullptr, "_UpgradeToWs", "handshake request of %d bytes is too long\n", static_cast<int>(req.size()));
    return kNetProtocol;
  }
  const uint64_t start = NetNowMs();
  int rc = TcpConnSend(conn, req.data(), static_cast<int>(req.size()), timeout_ms);
  if (rc != static_cast<int>(req.size())) return rc < 0 ? rc : kNetIo;

  WsHandshakeState st{};
  std::string accept_src = std::string(key) + kWsGuid;
  uint8_t digest[kSha1Size];
  Sha1(accept_src.data(), accept_src.size(), digest);
  Base64Encode(digest, kSha1Size, st.expected, sizeof(st.expected));

  int left = NetLeftMs(start, timeout_ms);
  if (left == 0) left = 1;
  rc = HttpRecvToMem(conn, response, left, WsHandshakeHeaderCb, &st);
  if (rc != 0) {
    LogPrintf(kLogError, nullptr, "_UpgradeToWs", "Recv resp: %d\n", rc);
    return rc;
  }
  if (response->status >= 300 && response->status <= 399) return 0;
  if (response->status == 101 && st.flags == 7) return 0;
  LogPrintf(kLogError, nullptr, "_UpgradeToWs", "create websocket, status=%d, handshake flags=%d\n", response->status,
            st.flags);
  HttpRespFree(response);
  return kNetWsRefused;
}

int WsCltCreateEx(const char* url, const char* extra_headers, WsConn** out, int timeout_ms, size_t extra_size) {
  *out = nullptr;
  std::string current = url ? url : "";
  for (int redirects = 0;; ++redirects) {
    int scheme = 0, port = 0;
    char host[kUrlHostSize];
    const char* path = "";
    if (http_parse_url(current.c_str(), &scheme, nullptr, nullptr, host, &port, &path) != 1) return kNetBadUrl;
    TcpConn conn;
    TcpConnInit(&conn);
    int rc = HttpProxyConnect(&conn, scheme, host, port, timeout_ms);
    if (rc != 0) {
      TcpConnReset(&conn);
      return rc;
    }
    const bool tls = scheme == kSchemeHttps || scheme == kSchemeWss;
    const int shown_port = port == (tls ? 443 : 80) ? 0 : port;
    HttpResponse resp;
    memset(&resp, 0, sizeof(resp));
    rc = _UpgradeToWs(&resp, path, &conn, host, shown_port, extra_headers, timeout_ms);
    if (rc != 0) {
      TcpConnReset(&conn);
      return rc;
    }
    if (resp.status >= 300 && resp.status <= 399) {
      std::string location = resp.location ? resp.location : "";
      HttpRespFree(&resp);
      TcpConnReset(&conn);
      if (location.empty()) return kNetBadUrl;
      LogPrintf(kLogInfo, nullptr, "WsCltCreateEx", "redirect to: %s\n", UrlForLog(location.c_str()).c_str());
      if (redirects >= kWsMaxRedirects) {
        LogPrintf(kLogError, nullptr, "WsCltCreateEx", "too many redirects\n");
        return kNetWsRefused;
      }
      current = location;
      continue;
    }
    int cap = resp.leftover_length > 1024 ? resp.leftover_length : 1024;
    WsConn* ws = WsConnCreate(&conn, 0, cap, resp.leftover, resp.leftover_length, extra_size);
    HttpRespFree(&resp);
    if (!ws) {
      TcpConnReset(&conn);
      return kNetIo;
    }
    *out = ws;
    return 0;
  }
}

WsConn* WsConnCreate(TcpConn* conn, int server, int capacity, const void* initial, int count, size_t extra_size) {
  if (capacity < 1024) capacity = 1024;
  if (count > capacity) capacity = count;
  void* mem = malloc(sizeof(WsConn) + extra_size);
  if (!mem) return nullptr;
  WsConn* ws = new (mem) WsConn;
  ws->buffer = static_cast<uint8_t*>(malloc(static_cast<size_t>(capacity)));
  if (!ws->buffer) {
    ws->~WsConn();
    free(mem);
    return nullptr;
  }
  ws->socket = conn->socket;
  ws->tls = conn->tls;
  conn->socket = -1;
  conn->tls = nullptr;
  ws->server = server;
  ws->capacity = capacity;
  ws->filled = count > 0 ? count : 0;
  ws->consumed = 0;
  ws->extra_size = extra_size;
  if (count > 0) memcpy(ws->buffer, initial, static_cast<size_t>(count));
  if (extra_size) memset(static_cast<void*>(ws + 1), 0, extra_size);
  return ws;
}

void* WsConnExtra(WsConn* conn) { return conn->extra_size ? static_cast<void*>(conn + 1) : nullptr; }

int WsConnSendFrame(WsConn* conn, int opcode, const WsIovec* pieces, int count, int flags, int timeout_ms) {
  if (!conn) return kNetNoConn;
  int masked = (flags & kWsFlagMask) || !conn->server;
  uint64_t n = 0;
  for (int i = 0; i < count; ++i) n += static_cast<uint64_t>(pieces[i].length);
  if (n > 0x7FFFFFFFu - kWsMaxHeader) return kNetProtocol;
  std::vector<uint8_t> frame(static_cast<size_t>(n) + kWsMaxHeader);
  uint8_t key[4] = {0, 0, 0, 0};
  if (masked) RandomBytes(key, 4);
  int pos = WsBuildFrameHeader(frame.data(), flags & kWsFlagFin, opcode, masked, key, n);
  size_t off = 0;
  for (int i = 0; i < count; ++i) {
    if (pieces[i].length <= 0) continue;
    memcpy(frame.data() + pos + off, pieces[i].data, static_cast<size_t>(pieces[i].length));
    off += static_cast<size_t>(pieces[i].length);
  }
  if (masked) WsMask(frame.data() + pos, off, key, 0);
  return NetIoWriteN(conn->socket, conn->tls, &conn->tls_lock, frame.data(), pos + static_cast<int>(off), timeout_ms);
}

int WsConnSendV(WsConn* conn, int opcode, const WsIovec* pieces, int count, int timeout_ms) {
  return WsConnSendFrame(conn, opcode, pieces, count, kWsFlagFin, timeout_ms);
}

int WsConnSend(WsConn* conn, int opcode, const void* data, int length, int timeout_ms) {
  WsIovec piece{data, length};
  return WsConnSendV(conn, opcode, &piece, 1, timeout_ms);
}

int WsConnRecv(WsConn* conn, int timeout_ms, WsFrame* frame) {
  for (;;) {
    size_t avail = static_cast<size_t>(conn->filled - conn->consumed);
    size_t frame_len = 0;
    int r = WsDecodeFrame(conn->buffer + conn->consumed, avail, frame, &frame_len);
    if (r == 1) {
      conn->consumed += static_cast<int>(frame_len);
      return 1;
    }
    if (r < 0) {
      LogPrintf(kLogError, nullptr, "WsConnRecv", "frame larger than %u bytes refused\n", kWsMaxFrame);
      return r;
    }
    if (conn->consumed > 0) {
      memmove(conn->buffer, conn->buffer + conn->consumed, avail);
      conn->filled = static_cast<int>(avail);
      conn->consumed = 0;
    }
    if (frame_len > static_cast<size_t>(conn->capacity)) {
      size_t cap = frame_len + 1024;
      uint8_t* b = static_cast<uint8_t*>(realloc(conn->buffer, cap));
      if (!b) return kNetIo;
      conn->buffer = b;
      conn->capacity = static_cast<int>(cap);
    }
    int space = conn->capacity - conn->filled;
    int n = NetIoRead(conn->socket, conn->tls, &conn->tls_lock, conn->buffer + conn->filled, space, timeout_ms);
    if (n <= 0) {
      if (conn->shut_down.load()) return 0;
      if (n != kNetTimeout)
        LogPrintf(kLogError, nullptr, "WsConnRecv", "TcpConnWaitRead %d bytes,return %d\n", space, n);
      return n;
    }
    conn->filled += n;
  }
}

void WsConnShutdown(WsConn* conn) {
  if (!conn) return;
  conn->shut_down.store(1);
  if (conn->socket >= 0) shutdown(conn->socket, SHUT_RD);
}

int WsConnGetSocket(const WsConn* conn) { return conn ? conn->socket : -1; }

void WsConnFree(WsConn* conn) {
  if (!conn) return;
  NetIoClose(conn->socket, conn->tls);
  free(conn->buffer);
  conn->~WsConn();
  free(conn);
}
