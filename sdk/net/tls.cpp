// TLS client context and handshake over OpenSSL.
#include <arpa/inet.h>
#include <errno.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/ini.h"
#include "sdk/net/net_codes.h"
#include "sdk/net/net_io.h"
#include "sdk/net/tcp_conn.h"
#include "sdk/net/tls_config.h"
#include "util/log.h"

namespace {

std::mutex g_tls_mu;
SSL_CTX* g_ctx = nullptr;  // made at the first TLS connection, rebuilt after a configuration change
int g_verify = 1;
std::string g_ca_file;
std::once_flag g_init_once;
BIO_METHOD* g_bio_method = nullptr;

// A socket BIO whose writes use MSG_NOSIGNAL, so a peer that has gone away
// gives an error instead of SIGPIPE.
int NoSigWrite(BIO* b, const char* data, int length) {
  int fd = -1;
  BIO_get_fd(b, &fd);
  errno = 0;
  ssize_t n = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  BIO_clear_retry_flags(b);
  if (n <= 0 && BIO_sock_should_retry(static_cast<int>(n))) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

void InitOnce() {
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  const BIO_METHOD* sock = BIO_s_socket();
  BIO_METHOD* m = BIO_meth_new(BIO_TYPE_SOCKET, "socket without SIGPIPE");
  BIO_meth_set_write(m, NoSigWrite);
  BIO_meth_set_read(m, BIO_meth_get_read(sock));
  BIO_meth_set_puts(m, BIO_meth_get_puts(sock));
  BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(sock));
  BIO_meth_set_create(m, BIO_meth_get_create(sock));
  BIO_meth_set_destroy(m, BIO_meth_get_destroy(sock));
  g_bio_method = m;
}

// The shared context with one more reference for the caller, or null.
SSL_CTX* AcquireContext() {
  std::call_once(g_init_once, InitOnce);
  std::lock_guard<std::mutex> lock(g_tls_mu);
  if (!g_ctx) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    if (g_verify) {
      SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
      if (SSL_CTX_set_default_verify_paths(ctx) != 1)
        LogPrintf(kLogWarning, nullptr, "OpenSslConnInit", "cannot load the system trust store\n");
      if (!g_ca_file.empty() && SSL_CTX_load_verify_locations(ctx, g_ca_file.c_str(), nullptr) != 1)
        LogPrintf(kLogError, nullptr, "OpenSslConnInit", "cannot load CA file %s\n", g_ca_file.c_str());
    } else {
      SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
      LogPrintf(kLogWarning, nullptr, "OpenSslConnInit",
                "WARNING: TLS certificate verification is off (tls_verify=0); servers are not authenticated\n");
    }
    g_ctx = ctx;
  }
  SSL_CTX_up_ref(g_ctx);
  return g_ctx;
}

bool IsIpLiteral(const char* host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

// Waits for the direction the TLS call asked for; 1 ready, 0 time-out, -1 failure.
int WaitForTls(int sock, int ssl_error, int timeout_ms) {
  return ssl_error == SSL_ERROR_WANT_WRITE ? SockWaitWritable(sock, timeout_ms) : SockWaitReadable(sock, timeout_ms);
}

}  // namespace

void NetTlsConfigure(int verify_peer, const char* ca_file) {
  std::lock_guard<std::mutex> lock(g_tls_mu);
  g_verify = verify_peer ? 1 : 0;
  g_ca_file = ca_file ? ca_file : "";
  if (g_ctx) {
    SSL_CTX_free(g_ctx);  // sessions keep their own reference
    g_ctx = nullptr;
  }
  if (!g_verify)
    LogPrintf(kLogWarning, nullptr, "NetTlsConfigure",
              "WARNING: TLS certificate verification is off (tls_verify=0); servers are not authenticated\n");
}

void NetTlsLoadConfig(const char* ini_path) {
  int verify = platform::IniGetInt("config", "tls_verify", 1, ini_path);
  char ca_file[1024];
  platform::IniGetString("config", "tls_ca_file", "", ca_file, sizeof(ca_file), ini_path);
  NetTlsConfigure(verify, ca_file);
}

int NetTlsVerifyEnabled() {
  std::lock_guard<std::mutex> lock(g_tls_mu);
  return g_verify;
}

std::string NetTlsCaFile() {
  std::lock_guard<std::mutex> lock(g_tls_mu);
  return g_ca_file;
}

int NetTlsHandshake(int sock, const char* host, int timeout_ms, SSL** out) {
  *out = nullptr;
  SSL_CTX* ctx = AcquireContext();
  if (!ctx) {
    LogPrintf(kLogError, nullptr, "OpenSslConnInit", "SSL_CTX_new failed\n");
    return kNetTls;
  }
  SSL* ssl = SSL_new(ctx);
  SSL_CTX_free(ctx);  // the session holds its own reference
  BIO* bio = ssl ? BIO_new(g_bio_method) : nullptr;
  if (!bio) {
    SSL_free(ssl);
    return kNetTls;
  }
  BIO_set_fd(bio, sock, BIO_NOCLOSE);
  SSL_set_bio(ssl, bio, bio);
  const bool ip = host && IsIpLiteral(host);
  if (host && *host && !ip) SSL_set_tlsext_host_name(ssl, host);
  if (host && *host && SSL_get_verify_mode(ssl) != SSL_VERIFY_NONE) {
    if (ip)
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host);
    else
      SSL_set1_host(ssl, host);
  }
  SockSetNonBlocking(sock, 1);
  const uint64_t start = NetNowMs();
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(ssl);
    if (r == 1) break;
    int err = SSL_get_error(ssl, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      int w = WaitForTls(sock, err, NetLeftMs(start, timeout_ms));
      if (w > 0) continue;
      LogPrintf(kLogError, nullptr, "OpenSslConnInit", "SSL_connect error: %d (%s)\n", err,
                w == 0 ? "timed out" : "wait failed");
      SSL_free(ssl);
      return w == 0 ? kNetTimeout : kNetTls;
    }
    LogPrintf(kLogError, nullptr, "OpenSslConnInit", "SSL_connect error: %d\n", err);
    long vr = SSL_get_verify_result(ssl);
    if (vr != X509_V_OK)
      LogPrintf(kLogError, nullptr, "OpenSslConnInit", "certificate of %s refused: %s\n", host ? host : "",
                X509_verify_cert_error_string(vr));
    SSL_free(ssl);
    return kNetTls;
  }
  *out = ssl;
  return 0;
}

int NetIoRead(int sock, SSL* tls, std::mutex* tls_lock, void* buffer, int size, int timeout_ms) {
  if (sock < 0) return kNetNoConn;
  if (!tls) {
    int w = SockWaitReadable(sock, timeout_ms);
    if (w == 0) return kNetTimeout;
    if (w < 0) return kNetNoConn;
    ssize_t n;
    do {
      n = recv(sock, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kNetTimeout;
      LogPrintf(kLogError, nullptr, "TcpConnWaitRead", "errno: %d\n", errno);
      return kNetNoConn;
    }
    return static_cast<int>(n);
  }
  // The time-out bounds the whole call, so a peer that trickles a record byte
  // by byte cannot hold the caller beyond it.
  const uint64_t start = NetNowMs();
  for (;;) {
    int n, err;
    {
      std::unique_lock<std::mutex> lock;
      if (tls_lock) lock = std::unique_lock<std::mutex>(*tls_lock);
      ERR_clear_error();
      n = SSL_read(tls, buffer, size);
      err = n > 0 ? SSL_ERROR_NONE : SSL_get_error(tls, n);
    }
    if (err == SSL_ERROR_NONE) return n;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      int w = WaitForTls(sock, err, NetLeftMs(start, timeout_ms));
      if (w == 0) return kNetTimeout;
      if (w < 0) return kNetNoConn;
      continue;
    }
    if (err == SSL_ERROR_ZERO_RETURN) {
      std::unique_lock<std::mutex> lock;
      if (tls_lock) lock = std::unique_lock<std::mutex>(*tls_lock);
      SSL_shutdown(tls);
      return 0;
    }
    return kNetIo;
  }
}

int NetIoWriteN(int sock, SSL* tls, std::mutex* tls_lock, const void* data, int length, int timeout_ms) {
  if (sock < 0) return kNetNoConn;
  const char* p = static_cast<const char*>(data);
  int done = 0;
  int budget = timeout_ms;
  uint64_t mark = NetNowMs();
  auto charge = [&]() -> bool {  // false when the budget is used up
    if (timeout_ms < 0) return true;
    uint64_t now = NetNowMs();
    budget -= static_cast<int>(now - mark);
    mark = now;
    return budget > 0;
  };
  int want = SSL_ERROR_WANT_WRITE;
  while (done < length) {
    int w = tls ? WaitForTls(sock, want, budget) : SockWaitWritable(sock, budget);
    if (w == 0) return kNetTimeout;
    if (w < 0) return kNetNoConn;
    if (tls) {
      int n, err;
      {
        std::unique_lock<std::mutex> lock;
        if (tls_lock) lock = std::unique_lock<std::mutex>(*tls_lock);
        ERR_clear_error();
        n = SSL_write(tls, p + done, length - done);
        err = n > 0 ? SSL_ERROR_NONE : SSL_get_error(tls, n);
      }
      if (err == SSL_ERROR_NONE) {
        done += n;
      } else if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        want = err;
      } else {
        return kNetIo;
      }
    } else {
      ssize_t n = send(sock, p + done, static_cast<size_t>(length - done), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          LogPrintf(kLogError, nullptr, "TcpConnWaitWriteN", "SA_Send failed:%d\n", errno);
          return kNetIo;
        }
      } else {
        done += static_cast<int>(n);
      }
    }
    if (done < length && !charge()) return kNetTimeout;
  }
  return done;
}

void NetIoClose(int sock, SSL* tls) {
  if (tls) {
    ERR_clear_error();
    SSL_shutdown(tls);
    SSL_free(tls);
  }
  if (sock >= 0) close(sock);
}
