// Helpers of the networking tests: child processes for real peers (openssl
// s_server, nginx, node), temporary folders, a throw-away CA, small listeners.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/temp_dir.h"

namespace nettest {

// Folder of the repository's test peers (tools/peers).
std::string PeersDir();

// A temporary folder that the unprivileged workers of a server started as
// root can read.
class TempDir : public ::TempDir {
 public:
  TempDir();
};

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
uint64_t NowMs();

// A child process in its own process group, with stdout and stderr captured.
// Killed (the whole group) at destruction, and when the test process dies.
class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess() { Stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts argv[0] (searched in PATH) in dir (empty: current). Stdin is a pipe.
  bool Start(const std::vector<std::string>& argv, const std::string& dir = "");
  // Waits until a line of the output contains text; returns that line or "".
  std::string WaitForLine(const std::string& text, int timeout_ms);
  // Every line captured so far (stdout and stderr interleaved).
  std::string Output();
  // Waits until the child closes its output (normally: it exited); returns all output.
  std::string WaitForExit(int timeout_ms);
  // Writes to the child's stdin.
  void Send(const std::string& text);
  // SIGTERM to the group, SIGKILL after a grace period, reap.
  void Stop();
  bool Running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  void Pump(int timeout_ms);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int in_fd_ = -1;
  std::string buffer_;
  size_t scanned_ = 0;
};

// A free TCP port on 127.0.0.1 at the time of asking.
int FreePort();
// True once something accepts on 127.0.0.1:port, within timeout_ms.
bool WaitForPort(int port, int timeout_ms);

// A throw-away CA and certificates made with the openssl command.
struct TestCa {
  std::string ca_cert;          // the CA certificate (PEM)
  std::string server_cert;      // for "localhost" and 127.0.0.1, signed by the CA
  std::string server_key;
  std::string other_cert;       // for "other.invalid", signed by the CA
  std::string other_key;
  std::string self_cert;        // self-signed for "localhost" and 127.0.0.1
  std::string self_key;
  bool Make(const std::string& dir);
};

// openssl s_server on 127.0.0.1 with the given certificate; extra arguments
// appended. Port in port().
class SServer {
 public:
  bool Start(const std::string& cert, const std::string& key, const std::vector<std::string>& extra = {});
  int port() const { return port_; }
  PeerProcess& process() { return proc_; }

 private:
  PeerProcess proc_;
  int port_ = 0;
};

// nginx run from a temporary prefix with server blocks given by the test
// ("%PORT%" and "%PORT2%" are replaced by two free ports; "%DIR%" by dir).
class Nginx {
 public:
  bool Start(const std::string& dir, const std::string& server_blocks, int port = 0);
  int port() const { return port_; }
  int port2() const { return port2_; }
  void Stop() { proc_.Stop(); }
  std::string ErrorLog();

 private:
  PeerProcess proc_;
  std::string dir_;
  int port_ = 0;
  int port2_ = 0;
};

// A node script of tools/peers that prints "PORT <n>" once it listens.
class NodePeer {
 public:
  bool Start(const std::string& script, const std::vector<std::string>& args = {});
  int port() const { return port_; }
  PeerProcess& process() { return proc_; }
  void Stop() { proc_.Stop(); }

 private:
  PeerProcess proc_;
  int port_ = 0;
};

// A listener on an address of the loopback range; Accept waits for one client.
class Listener {
 public:
  explicit Listener(const char* address = "127.0.0.1", int rcvbuf = 0);
  ~Listener();
  int port() const { return port_; }
  int fd() const { return fd_; }
  // The accepted socket, or -1 after timeout_ms.
  int Accept(int timeout_ms);

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Runs fn on a thread that is joined at destruction.
class Background {
 public:
  explicit Background(std::function<void()> fn) : thread_(std::move(fn)) {}
  ~Background() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

// Sends the SDK's log to a file (and the console) while it lives.
class LogCapture {
 public:
  explicit LogCapture(const std::string& path);
  ~LogCapture();
  std::string Text() const { return ReadFile(path_); }
  // How many times text occurs in the log.
  int Count(const std::string& text) const;

 private:
  std::string path_;
};

// Reads from fd until the text has been seen or timeout_ms passed; returns all bytes read.
std::string ReadUntil(int fd, const std::string& text, int timeout_ms);
bool WriteAll(int fd, const std::string& data);

}  // namespace nettest
