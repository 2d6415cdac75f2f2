// WebSocket client (RFC 6455) over the kit's TCP or TLS connections: opening
// handshake with redirects, masked frames from a gather list, one frame per
// read. Callers see every frame as it arrives (continuations, pings, close).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "sdk/net/http_client.h"
#include "sdk/net/tcp_conn.h"
#include "sdk/net/ws_frame.h"

// How many redirects WsCltCreateEx follows.
inline constexpr int kWsMaxRedirects = 5;

struct WsConn {
  int socket;
  SSL* tls;
  int server;         // 0 for a client connection: every frame it sends is masked
  uint8_t* buffer;    // receive buffer
  int capacity;
  int filled;
  int consumed;
  size_t extra_size;  // the caller's bytes after the record (WsConnExtra)
  std::mutex tls_lock;           // one TLS call at a time (reader and writer threads)
  std::atomic<int> shut_down{0}; // set by WsConnShutdown
};

struct WsIovec {
  const void* data;
  int length;
};

enum { kWsFlagFin = 1, kWsFlagMask = 2 };

// Opens a WebSocket to a "ws://" or "wss://" URL (redirects followed): 0 and
// *out, or a negative code (kNetWsRefused, kNetBadUrl, or one of TcpConn's).
int WsCltCreateEx(const char* url, const char* extra_headers, WsConn** out, int timeout_ms, size_t extra_size);
// Sends the upgrade request and reads the reply into response: 0 (101 accepted,
// or a 3xx left in the response), kNetWsRefused, or a read or send error.
int _UpgradeToWs(HttpResponse* response, const char* path, TcpConn* conn, const char* host, int port,
                 const char* extra_headers, int timeout_ms);

struct WsHandshakeState {
  int flags;               // 1 Upgrade, 2 Connection, 4 accept value seen
  char expected[32];       // expected Sec-WebSocket-Accept
};
int WsHandshakeHeaderCb(const char* name, const char* value, void* state);

// A connection taking over conn's socket and TLS, with initial bytes as data
// already received.
WsConn* WsConnCreate(TcpConn* conn, int server, int capacity, const void* initial, int count, size_t extra_size);
// The caller's bytes after the record.
void* WsConnExtra(WsConn* conn);
int WsConnSendFrame(WsConn* conn, int opcode, const WsIovec* pieces, int count, int flags, int timeout_ms);
int WsConnSendV(WsConn* conn, int opcode, const WsIovec* pieces, int count, int timeout_ms);
int WsConnSend(WsConn* conn, int opcode, const void* data, int length, int timeout_ms);
// Reads one frame, each read waiting at most timeout_ms: 1 with *frame; 0 when
// the peer closed (or after WsConnShutdown); kNetTimeout; another negative code
// on a read error or an oversized frame.
int WsConnRecv(WsConn* conn, int timeout_ms, WsFrame* frame);
// Shuts the receiving side down, waking a reader blocked in WsConnRecv.
void WsConnShutdown(WsConn* conn);
int WsConnGetSocket(const WsConn* conn);
void WsConnFree(WsConn* conn);
