#include "tests/sdk/net/net_test_util.h"

#include "util/log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace nettest {

std::string PeersDir() { return std::string(VELMORA_SOURCE_DIR) + "/tools/peers"; }

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

TempDir::TempDir() : ::TempDir("velmora-net") { chmod(path().c_str(), 0755); }

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool PeerProcess::Start(const std::vector<std::string>& argv, const std::string& dir) {
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(out[1]);
  close(in[0]);
  pid_ = pid;
  out_fd_ = out[0];
  in_fd_ = in[1];
  buffer_.clear();
  scanned_ = 0;
  return true;
}

void PeerProcess::Pump(int timeout_ms) {
  if (out_fd_ < 0) return;
  pollfd p{out_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return;
  char buf[4096];
  ssize_t n = read(out_fd_, buf, sizeof(buf));
  if (n > 0) buffer_.append(buf, static_cast<size_t>(n));
  if (n == 0) {
    close(out_fd_);
    out_fd_ = -1;
  }
}

std::string PeerProcess::WaitForLine(const std::string& text, int timeout_ms) {
  const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
  for (;;) {
    size_t pos = buffer_.find(text, scanned_);
    if (pos != std::string::npos) {
      size_t begin = buffer_.rfind('\n', pos);
      begin = begin == std::string::npos ? 0 : begin + 1;
      size_t end = buffer_.find('\n', pos);
      if (end != std::string::npos) {
        scanned_ = end + 1;
        return buffer_.substr(begin, end - begin);
      }
    }
    uint64_t now = NowMs();
    if (now >= deadline || out_fd_ < 0) {
      if (out_fd_ < 0 && pos != std::string::npos) {
        scanned_ = buffer_.size();
        return buffer_.substr(pos);
      }
      return "";
    }
    Pump(static_cast<int>(deadline - now));
  }
}

std::string PeerProcess::Output() {
  Pump(0);
  return buffer_;
}

std::string PeerProcess::WaitForExit(int timeout_ms) {
  const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
  while (out_fd_ >= 0) {
    uint64_t now = NowMs();
    if (now >= deadline) break;
    Pump(static_cast<int>(deadline - now));
  }
  return buffer_;
}

void PeerProcess::Send(const std::string& text) {
  if (in_fd_ < 0) return;
  // A peer that has gone away must not take the test down with SIGPIPE.
  sigset_t pipe_set, old;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(in_fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  timespec zero{0, 0};
  while (sigtimedwait(&pipe_set, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void PeerProcess::Stop() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);
    int status = 0;
    bool done = false;
    for (int i = 0; i < 300 && !done; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) done = true;
      else usleep(10000);
    }
    kill(-pid_, SIGKILL);  // the group too, in case a child of the peer lingers
    if (!done) waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (out_fd_ >= 0) {
    Pump(0);
    close(out_fd_);
  }
  if (in_fd_ >= 0) close(in_fd_);
  out_fd_ = in_fd_ = -1;
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  socklen_t len = sizeof(sa);
  getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  close(s);
  return ntohs(sa.sin_port);
}

bool WaitForPort(int port, int timeout_ms) {
  const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
  while (NowMs() < deadline) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    close(s);
    if (ok) return true;
    usleep(20000);
  }
  return false;
}

namespace {

bool Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

bool TestCa::Make(const std::string& dir) {
  ca_cert = dir + "/ca.pem";
  const std::string ca_key = dir + "/ca.key";
  server_cert = dir + "/server.pem";
  server_key = dir + "/server.key";
  other_cert = dir + "/other.pem";
  other_key = dir + "/other.key";
  self_cert = dir + "/self.pem";
  self_key = dir + "/self.key";
  const std::string ext = dir + "/ext.cnf";
  WriteFile(ext,
            "[srv]\nsubjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
            "[oth]\nsubjectAltName=DNS:other.invalid\nbasicConstraints=CA:FALSE\n");
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  return Run("openssl req -x509 " + ec + " -keyout " + ca_key + " -out " + ca_cert +
             " -days 2 -subj /CN=Velmora-Test-CA -addext basicConstraints=critical,CA:TRUE"
             " -addext keyUsage=critical,keyCertSign,cRLSign") &&
         Run("openssl req " + ec + " -keyout " + server_key + " -out " + dir + "/server.csr -subj /CN=localhost") &&
         Run("openssl x509 -req -in " + dir + "/server.csr -CA " + ca_cert + " -CAkey " + ca_key +
             " -CAcreateserial -days 2 -out " + server_cert + " -extfile " + ext + " -extensions srv") &&
         Run("openssl req " + ec + " -keyout " + other_key + " -out " + dir + "/other.csr -subj /CN=other.invalid") &&
         Run("openssl x509 -req -in " + dir + "/other.csr -CA " + ca_cert + " -CAkey " + ca_key +
             " -CAcreateserial -days 2 -out " + other_cert + " -extfile " + ext + " -extensions oth") &&
         Run("openssl req -x509 " + ec + " -keyout " + self_key + " -out " + self_cert +
             " -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
}

bool SServer::Start(const std::string& cert, const std::string& key, const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", cert, "-key", key};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!proc_.Start(argv)) return false;
  std::string line = proc_.WaitForLine("ACCEPT", 10000);
  size_t colon = line.rfind(':');
  if (colon == std::string::npos) return false;
  port_ = std::atoi(line.c_str() + colon + 1);
  return port_ > 0;
}

bool Nginx::Start(const std::string& dir, const std::string& server_blocks, int port) {
  dir_ = dir;
  mkdir((dir + "/logs").c_str(), 0755);
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = port ? port : FreePort();
    do {
      port2_ = FreePort();
    } while (port2_ == port_);
    std::string servers = server_blocks;
    auto replace_all = [&servers](const std::string& from, const std::string& to) {
      for (size_t p; (p = servers.find(from)) != std::string::npos;) servers.replace(p, from.size(), to);
    };
    replace_all("%PORT2%", std::to_string(port2_));
    replace_all("%PORT%", std::to_string(port_));
    replace_all("%DIR%", dir);
    std::string conf =
        "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + dir + "/nginx.pid;\n"
        "error_log " + dir + "/logs/error.log info;\nevents { worker_connections 256; }\n"
        "http {\n  access_log off;\n  client_body_temp_path " + dir + "/body;\n  proxy_temp_path " + dir +
        "/proxy;\n  fastcgi_temp_path " + dir + "/fcgi;\n  uwsgi_temp_path " + dir + "/uwsgi;\n  scgi_temp_path " +
        dir + "/scgi;\n  default_type application/octet-stream;\n  keepalive_requests 100000;\n" + servers + "\n}\n";
    WriteFile(dir + "/nginx.conf", conf);
    if (!proc_.Start({"nginx", "-p", dir, "-e", dir + "/logs/error.log", "-c", dir + "/nginx.conf"})) return false;
    if (WaitForPort(port_, 5000) && (server_blocks.find("%PORT2%") == std::string::npos || WaitForPort(port2_, 2000)))
      return true;
    proc_.Stop();
    if (port) break;
  }
  return false;
}

std::string Nginx::ErrorLog() { return ReadFile(dir_ + "/logs/error.log"); }

bool NodePeer::Start(const std::string& script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"node", PeersDir() + "/" + script};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!proc_.Start(argv)) return false;
  std::string line = proc_.WaitForLine("PORT ", 15000);
  if (line.empty()) return false;
  port_ = std::atoi(line.c_str() + line.find("PORT ") + 5);
  return port_ > 0;
}

Listener::Listener(const char* address, int rcvbuf) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, address, &sa.sin_addr);
  bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  listen(fd_, 16);
  socklen_t len = sizeof(sa);
  getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
}

Listener::~Listener() {
  if (fd_ >= 0) close(fd_);
}

int Listener::Accept(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return -1;
  return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

LogCapture::LogCapture(const std::string& path) : path_(path) { LogOpen(kLogToFile | kLogToConsole, path.c_str(), 0); }

LogCapture::~LogCapture() { LogOpen(kLogToConsole, nullptr, 0); }

int LogCapture::Count(const std::string& text) const {
  std::string all = Text();
  int n = 0;
  for (size_t p = all.find(text); p != std::string::npos; p = all.find(text, p + 1)) ++n;
  return n;
}

std::string ReadUntil(int fd, const std::string& text, int timeout_ms) {
  std::string got;
  const uint64_t deadline = NowMs() + static_cast<uint64_t>(timeout_ms);
  while (got.find(text) == std::string::npos) {
    uint64_t now = NowMs();
    if (now >= deadline) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(deadline - now)) <= 0) break;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace nettest
