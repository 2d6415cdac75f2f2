// TCP and TLS connections: resolver, connect with a time-out, TLS client over a
// connected socket, reads and writes bounded by time-outs. Sockets wait with
// poll and never raise SIGPIPE.
#pragma once

#include <sys/socket.h>

#include <cstdint>

#include "sdk/net/net_codes.h"

typedef struct ssl_st SSL;

// One connection, owned by its user.
struct TcpConn {
  int socket;      // -1 when not connected
  SSL* tls;        // present when the connection is TLS
  char host[96];   // host of the last connection opened through HttpProxyConnect
  int port;        // its port
};

// Resolves host (a ":port" suffix is ignored) to up to capacity IPv4 addresses
// in network order; the count, or kNetResolve.
int normal_resolver(const char* host, uint32_t* addresses, int capacity);

// The resolver TcpConnect asks; null restores normal_resolver.
typedef int (*TcpResolverFn)(const char* host, uint32_t* addresses, int capacity);
void TcpSetResolver(TcpResolverFn fn);

// Connects to host:port, trying each resolved address once; 0 and a connected
// blocking socket in *out_socket, or a negative code.
int TcpConnect(const char* host, int port, int timeout_ms, int* out_socket);

// Connects sock to the address within timeout_ms: 0, kNetTimeout (still in
// progress), kNetRefused or kNetConnect. The socket stays blocking.
int ConnectWithTimeout(int sock, const struct sockaddr* addr, socklen_t addr_len, int timeout_ms);

// Runs the TLS client handshake on a connected socket within timeout_ms
// (negative: no limit). Sends SNI for host names and checks the server's
// certificate and name unless verification is turned off (see tls_config.h).
// 0 with socket and TLS stored in conn; otherwise the socket is closed and the
// result is kNetTls (or kNetTimeout when the handshake ran out of time).
int OpenSslConnInit(TcpConn* conn, int sock, const char* host, int timeout_ms);

void TcpConnInit(TcpConn* conn);
// Shuts TLS down and frees it, closes the socket; host and port are kept.
void TcpConnClose(TcpConn* conn);
// TcpConnClose, and forgets host and port.
void TcpConnReset(TcpConn* conn);
// TcpConnect, then OpenSslConnInit when tls is set, all within timeout_ms.
int TcpConnOpen(int tls, const char* host, int port, int timeout_ms, TcpConn* conn);

// Reads what is there (at most size bytes) within timeout_ms (-1: no limit):
// the count, 0 when the peer closed, kNetTimeout, kNetNoConn or kNetIo.
int TcpConnWaitRead(TcpConn* conn, void* buffer, int size, int timeout_ms);
// Writes all bytes within a budget of timeout_ms (-1: no limit): length, or
// kNetTimeout, kNetNoConn, kNetIo.
int TcpConnWaitWriteN(TcpConn* conn, const void* data, int length, int timeout_ms);
// TcpConnWaitWriteN; any failure resets the connection.
int TcpConnSend(TcpConn* conn, const void* data, int length, int timeout_ms);

// Conditions of SockSelect's flag word.
enum { kSockRead = 1, kSockWrite = 2, kSockExcept = 4 };
// Waits for the conditions in *flags (timeout_ms negative: no limit; 0: poll).
// 1 with *flags holding the ready conditions; 0 on time-out or -1 on failure,
// both with *flags cleared.
int SockSelect(int sock, int* flags, int timeout_ms);
int SockWaitReadable(int sock, int timeout_ms);
int SockWaitWritable(int sock, int timeout_ms);
int SockSetNonBlocking(int sock, int flag);
// A new non-blocking TCP socket with a connect to address (network order) and
// port started but not awaited; -1 when the socket cannot be made or the
// connect fails at once.
int TcpConnectNonBlocking(uint32_t address, int port);
