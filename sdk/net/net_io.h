// Internal to sdk/net: reads and writes on a socket with optional TLS, shared by
// TcpConn and WsConn.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/tick.h"

typedef struct ssl_st SSL;

inline uint64_t NetNowMs() { return platform::GetTickCount64(); }

// What is left of timeout_ms since start: -1 for no limit, else at least 0.
inline int NetLeftMs(uint64_t start, int timeout_ms) {
  if (timeout_ms < 0) return -1;
  int left = timeout_ms - static_cast<int>(NetNowMs() - start);
  return left < 0 ? 0 : left;
}

// See TcpConnWaitRead / TcpConnWaitWriteN. tls_lock, when given, is held around
// each TLS call so that one reader and one writer may share the connection.
int NetIoRead(int sock, SSL* tls, std::mutex* tls_lock, void* buffer, int size, int timeout_ms);
int NetIoWriteN(int sock, SSL* tls, std::mutex* tls_lock, const void* data, int length, int timeout_ms);
// Sends close_notify when TLS (without waiting), frees TLS and closes the socket.
void NetIoClose(int sock, SSL* tls);

// Makes a TLS session on a connected socket and runs the handshake within
// timeout_ms; returns 0 and *out, or kNetTls / kNetTimeout (socket left open).
int NetTlsHandshake(int sock, const char* host, int timeout_ms, SSL** out);
