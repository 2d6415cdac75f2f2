// statesim: a state server for waking low-power cameras. It listens on TCP, reads one line per connection
// (the device id the client wakes), prints "statesim wake id=ID", runs the --on-wake command with the id as
// its first argument (in the background, or waited for with --wait-hook), answers with a line and closes the
// connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Usage(const char* error) {
  if (error) std::fprintf(stderr, "statesim: %s (see --help)\n", error);
  return 2;
}

void Help() {
  std::printf(
      "usage: statesim [options]\n"
      "A state server for waking low-power cameras: each connection sends one line, the device id;\n"
      "statesim prints \"statesim wake id=ID\", runs the --on-wake command and answers ANSWER.\n"
      "  --host IP          IPv4 address to listen on, loopback only (default 127.0.0.1)\n"
      "  --port N           TCP port, 0-65535, 0 for an ephemeral one (default 18081)\n"
      "  --answer TEXT      the answer line (default \"ok\"); empty: close without answering\n"
      "  --wait-hook        answer only once the --on-wake command has ended (the camera is up)\n"
      "  --on-wake CMD      shell command (sh -c) run for each wake-up, the device id as \"$1\" in it\n"
      "  -h, --help         this text\n"
      "Prints \"statesim ready port=N\" once listening; ends on SIGTERM or SIGINT.\n"
      "example: statesim --port 0 --on-wake 'echo woke $1 >>/tmp/woken'\n");
}

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void RunHook(const std::string& cmd, const std::string& id, bool wait) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", cmd.c_str(), "statesim", id.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0 && wait) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", answer = "ok", on_wake;
  long port = 18081;
  bool wait_hook = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      Help();
      return 0;
    }
    if (a == "--wait-hook") {
      wait_hook = true;
      continue;
    }
    if (a != "--host" && a != "--port" && a != "--answer" && a != "--on-wake")
      return Usage(("unknown option " + a).c_str());
    if (i + 1 >= argc) return Usage((a + " needs a value").c_str());
    const std::string v = argv[++i];
    if (a == "--host") {
      host = v;
    } else if (a == "--port") {
      char* end = nullptr;
      port = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || port < 0 || port > 65535) return Usage("--port takes 0-65535");
    } else if (a == "--answer") {
      answer = v;
    } else {
      on_wake = v;
    }
  }
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127)
    return Usage("--host takes a loopback IPv4 address (127.x.x.x)");

  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  if (!wait_hook) signal(SIGCHLD, SIG_IGN);  // hook children are not waited for
  const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = addr;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(ls, 16) != 0) {
    std::fprintf(stderr, "statesim: cannot listen on %s:%ld: %s\n", host.c_str(), port, std::strerror(errno));
    return 1;
  }
  socklen_t len = sizeof sa;
  getsockname(ls, reinterpret_cast<sockaddr*>(&sa), &len);
  std::printf("statesim ready port=%d\n", ntohs(sa.sin_port));
  std::fflush(stdout);

  struct Conn {
    int fd;
    std::string line;
  };
  std::vector<Conn> conns;
  while (!g_stop) {
    std::vector<pollfd> fds{{ls, POLLIN, 0}};
    for (const Conn& c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) conns.push_back({fd, {}});
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Conn& c = conns[i - 1];
      char buf[256];
      const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
      bool done = n <= 0;
      if (n > 0) c.line.append(buf, static_cast<size_t>(n));
      const size_t nl = c.line.find('\n');
      if (nl != std::string::npos || c.line.size() > 512) {
        const std::string id = c.line.substr(0, nl == std::string::npos ? 512 : nl);
        std::printf("statesim wake id=%s\n", id.c_str());
        std::fflush(stdout);
        if (!on_wake.empty()) RunHook(on_wake, id, wait_hook);
        if (!answer.empty()) {
          const std::string out = answer + "\n";
          send(c.fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
        done = true;
      }
      if (done) {
        close(c.fd);
        c.fd = -1;
      }
    }
    std::vector<Conn> keep;
    for (Conn& c : conns)
      if (c.fd >= 0) keep.push_back(std::move(c));
    conns.swap(keep);
  }
  for (const Conn& c : conns) close(c.fd);
  close(ls);
  return 0;
}
