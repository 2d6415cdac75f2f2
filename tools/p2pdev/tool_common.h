// What p2pdev and p2pcli share: their options, the library's initialisation,
// printing one line at a time, and ending on a signal or when standard input
// (a pipe) closes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "p2p/rvs_api.h"
#include "p2p/sock.h"
#include "tools/common/init_string.h"

namespace p2ptool {

inline std::atomic<bool> g_stop{false};

__attribute__((format(printf, 1, 2))) inline void Say(const char* fmt, ...) {
  static std::mutex mu;
  std::lock_guard<std::mutex> g(mu);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// What a library result means, for the tools' lines and messages.
inline const char* ResultText(int r) {
  switch (r) {
    case RVS_ERR_SUCCESS: return "success";
    case RVS_ERR_NOT_INITIALIZED: return "not initialized";
    case RVS_ERR_ALREADY_INITIALIZED: return "already initialized";
    case RVS_ERR_TIME_OUT: return "timed out";
    case RVS_ERR_INVALID_ID: return "invalid device ID";
    case RVS_ERR_INVALID_PARAMETER: return "invalid parameter";
    case RVS_ERR_DEVICE_NOT_ONLINE: return "device not online";
    case RVS_ERR_FAIL_TO_RESOLVE_NAME: return "cannot resolve the server names";
    case RVS_ERR_INVALID_PREFIX: return "invalid ID prefix";
    case RVS_ERR_LOGIN_REFUSED: return "login refused";
    case RVS_ERR_INVALID_SESSION_HANDLE: return "invalid session handle";
    case RVS_ERR_SESSION_CLOSED_REMOTE: return "session closed by the peer";
    case RVS_ERR_SESSION_CLOSED_TIMEOUT: return "session closed: the peer went silent";
    case RVS_ERR_SESSION_CLOSED_CALLED: return "session closed";
    case RVS_ERR_LISTEN_BREAK: return "listen broken off";
    case RVS_ERR_MAX_SESSION: return "too many sessions";
    case RVS_ERR_UDP_PORT_BIND_FAILED: return "cannot bind the UDP port";
    case RVS_ERR_CONNECT_BREAK: return "connect broken off";
    case RVS_ERR_SESSION_OUT_OF_MEMORY: return "out of memory for the session";
    case RVS_ERR_FAIL_TO_CREATE_THREAD: return "cannot start a thread";
    case RVS_ERR_SERVER_REFUSED: return "the server refused";
    case RVS_ERR_TCP_RELAY_FAILED: return "the TCP relay failed";
    case RVS_ERR_INIT_OUT_OF_MEMORY: return "out of memory at initialization";
    default: return r >= 0 ? "ok" : "unknown error";
  }
}

// "--server-ports U,T": servers on other ports than 32100 and 443 (a
// simulator on loopback beside other tests). "" or why it is refused.
inline std::string ApplyServerPorts(const std::string& text) {
  unsigned udp = 0, tcp = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u,%u%c", &udp, &tcp, &tail) != 2 || udp > 65533 || tcp > 65535)
    return "'" + text + "' is not UDP,TCP (UDP 0..65533, TCP 0..65535)";
  RVP_TestSetServerPorts(static_cast<uint16_t>(udp), static_cast<uint16_t>(tcp));
  return "";
}

// A library result as "N (text)".
inline std::string Result(int r) { return std::to_string(r) + " (" + ResultText(r) + ")"; }

inline int Initialize(const std::string& init, int alive_sec) {
  std::string param = "{\"InitString\":\"" + init + "\",\"SessAliveSec\":" + std::to_string(alive_sec) + "}";
  return RVS_Initialize(param.c_str());
}

// g_stop is set on SIGINT or SIGTERM, and when standard input is a pipe that
// closes. Call once, then run WatchInput on a thread of its own.
inline void StopOnSignals() {
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_stop.store(true); };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

inline void WatchInput() {
  struct stat st {};
  const bool pipe_in = fstat(0, &st) == 0 && S_ISFIFO(st.st_mode);
  while (!g_stop.load()) {
    pollfd p{0, POLLIN, 0};
    if (pipe_in && poll(&p, 1, 50) > 0) {
      char b[64];
      if (read(0, b, sizeof(b)) <= 0) g_stop.store(true);
    } else if (!pipe_in) {
      usleep(50 * 1000);
    }
  }
}

}  // namespace p2ptool
