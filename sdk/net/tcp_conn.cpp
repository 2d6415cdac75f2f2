// Resolver, TCP connect with time-outs and the TcpConn record.
#include "sdk/net/tcp_conn.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "sdk/net/net_io.h"
#include "util/helpers.h"
#include "util/log.h"

namespace {

std::atomic<TcpResolverFn> g_resolver{nullptr};

int PollOne(int sock, short events, int timeout_ms, short* revents) {
  const uint64_t start = NetNowMs();
  for (;;) {
    int wait = timeout_ms;
    if (timeout_ms > 0) {
      wait = timeout_ms - static_cast<int>(NetNowMs() - start);
      if (wait < 0) wait = 0;
    }
    pollfd p{sock, events, 0};
    int r = poll(&p, 1, timeout_ms < 0 ? -1 : wait);
    if (r < 0 && errno == EINTR) continue;
    *revents = r > 0 ? p.revents : 0;
    return r;
  }
}

}  // namespace

int normal_resolver(const char* host, uint32_t* addresses, int capacity) {
  std::string name(host ? host : "");
  size_t colon = name.find(':');
  if (colon != std::string::npos) name.resize(colon);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    LogPrintf(kLogError, nullptr, "normal_resolver", "getaddrinfo: %d\n", rc);
    return kNetResolve;
  }
  int n = 0;
  for (addrinfo* a = res; a && n < capacity; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    addresses[n++] = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
  }
  freeaddrinfo(res);
  return n;
}

void TcpSetResolver(TcpResolverFn fn) { g_resolver.store(fn); }

int ConnectWithTimeout(int sock, const sockaddr* addr, socklen_t addr_len, int timeout_ms) {
  int flags = fcntl(sock, F_GETFL, 0);
  fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(sock, addr, addr_len);
  int err = rc == 0 ? 0 : errno;
  if (rc != 0 && err == EINPROGRESS) {
    short rev = 0;
    int r = PollOne(sock, POLLOUT, timeout_ms, &rev);
    if (r == 0) {
      err = EINPROGRESS;
    } else if (r < 0) {
      err = errno;
    } else {
      socklen_t len = sizeof(err);
      if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
  }
  fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
  if (err == 0) return 0;
  errno = err;
  if (err == EINPROGRESS) return kNetTimeout;
  if (err == ECONNREFUSED) return kNetRefused;
  return kNetConnect;
}

int TcpConnect(const char* host, int port, int timeout_ms, int* out_socket) {
  *out_socket = -1;
  uint64_t t0 = NetNowMs();
  uint32_t addrs[6];
  int count;
  in_addr literal{};
  if (host && inet_pton(AF_INET, host, &literal) == 1) {
    addrs[0] = literal.s_addr;
    count = 1;
  } else {
    TcpResolverFn fn = g_resolver.load();
    count = (fn ? fn : normal_resolver)(host ? host : "", addrs, 6);
  }
  uint64_t t1 = NetNowMs();
  if (t1 - t0 > 200)
    LogPrintf(kLogWarning, nullptr, "TcpConnect", "Resolve %s took %d ms\n", host, static_cast<int>(t1 - t0));
  if (count <= 0) return kNetResolve;
  int result = kNetConnect;
  for (int i = 0; i < count; ++i) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kNetNoConn;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addrs[i];
    result = ConnectWithTimeout(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa), timeout_ms);
    if (result == 0) {
      int one = 1;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      uint64_t t2 = NetNowMs();
      if (t2 - t1 > 250) {
        char dotted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa.sin_addr, dotted, sizeof(dotted));
        LogPrintf(kLogWarning, nullptr, "TcpConnect", "connecting to %s tooks %d ms\n", dotted, static_cast<int>(t2 - t1));
      }
      *out_socket = s;
      return 0;
    }
    LogPrintf(kLogError, nullptr, "TcpConnect", "Connect to %s: %s(%d), EINPROGRESS=%d\n", host, strerror(errno), result,
              EINPROGRESS);
    close(s);
  }
  return result;
}

int OpenSslConnInit(TcpConn* conn, int sock, const char* host, int timeout_ms) {
  SSL* tls = nullptr;
  int rc = NetTlsHandshake(sock, host, timeout_ms, &tls);
  if (rc != 0) {
    close(sock);
    return rc;
  }
  conn->socket = sock;
  conn->tls = tls;
  return 0;
}

void TcpConnInit(TcpConn* conn) {
  conn->socket = -1;
  conn->tls = nullptr;
  conn->host[0] = '\0';
  conn->port = 0;
}

void TcpConnClose(TcpConn* conn) {
  NetIoClose(conn->socket, conn->tls);
  conn->tls = nullptr;
  conn->socket = -1;
}

void TcpConnReset(TcpConn* conn) {
  TcpConnClose(conn);
  conn->host[0] = '\0';
  conn->port = 0;
}

int TcpConnOpen(int tls, const char* host, int port, int timeout_ms, TcpConn* conn) {
  uint64_t start = NetNowMs();
  int sock = -1;
  int rc = TcpConnect(host, port, timeout_ms, &sock);
  if (rc != 0) return rc;
  if (tls) {
    int left = NetLeftMs(start, timeout_ms);
    return OpenSslConnInit(conn, sock, host, left == 0 ? 1 : left);
  }
  conn->socket = sock;
  conn->tls = nullptr;
  return 0;
}

int TcpConnWaitRead(TcpConn* conn, void* buffer, int size, int timeout_ms) {
  return NetIoRead(conn->socket, conn->tls, nullptr, buffer, size, timeout_ms);
}

int TcpConnWaitWriteN(TcpConn* conn, const void* data, int length, int timeout_ms) {
  return NetIoWriteN(conn->socket, conn->tls, nullptr, data, length, timeout_ms);
}

int TcpConnSend(TcpConn* conn, const void* data, int length, int timeout_ms) {
  int rc = TcpConnWaitWriteN(conn, data, length, timeout_ms);
  if (rc < 0) TcpConnReset(conn);
  return rc;
}

int SockSelect(int sock, int* flags, int timeout_ms) {
  short events = 0;
  if (*flags & kSockRead) events |= POLLIN;
  if (*flags & kSockWrite) events |= POLLOUT;
  if (*flags & kSockExcept) events |= POLLPRI;
  short rev = 0;
  int r = PollOne(sock, events, timeout_ms, &rev);
  if (r <= 0 || (rev & POLLNVAL)) {
    *flags = 0;
    return r <= 0 ? r : -1;
  }
  int ready = 0;
  // As with select, an error or hang-up makes the socket readable and writable.
  if ((*flags & kSockRead) && (rev & (POLLIN | POLLHUP | POLLERR))) ready |= kSockRead;
  if ((*flags & kSockWrite) && (rev & (POLLOUT | POLLHUP | POLLERR))) ready |= kSockWrite;
  if ((*flags & kSockExcept) && (rev & POLLPRI)) ready |= kSockExcept;
  *flags = ready;
  return ready ? 1 : 0;
}

int SockWaitReadable(int sock, int timeout_ms) {
  int flags = kSockRead;
  return SockSelect(sock, &flags, timeout_ms);
}

int SockWaitWritable(int sock, int timeout_ms) {
  int flags = kSockWrite;
  return SockSelect(sock, &flags, timeout_ms);
}

int SockSetNonBlocking(int sock, int flag) { return SockIoctlFionbio(sock, flag ? 1 : 0); }

int TcpConnectNonBlocking(uint32_t address, int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = address;
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 && errno != EINPROGRESS) {
    close(s);
    return -1;
  }
  return s;
}
