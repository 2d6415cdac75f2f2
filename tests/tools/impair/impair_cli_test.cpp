// The impair program: its first line, relaying, its ends, and what it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/tools/impair/udp_peer.h"

namespace {

using impairtest::NowMs;
using impairtest::UdpPeer;

// The program with its stdin, and its stdout and stderr on one pipe.
class ImpairProcess {
 public:
  explicit ImpairProcess(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      std::vector<char*> argv{const_cast<char*>(IMPAIR_BIN)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(IMPAIR_BIN, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~ImpairProcess() {
    CloseStdin();
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // The next line of output without its newline; empty after timeout_ms or at the end.
  std::string ReadLine(int timeout_ms) {
    const int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
      size_t nl = output_.find('\n', taken_);
      if (nl != std::string::npos) {
        std::string line = output_.substr(taken_, nl - taken_);
        taken_ = nl + 1;
        return line;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0 || !Pump(static_cast<int>(left))) return "";
    }
  }

  // The port from the "listening 127.0.0.1:PORT" line; 0 when it does not come.
  uint16_t ListeningPort() {
    std::string line = ReadLine(5000);
    const std::string prefix = "listening 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
      ADD_FAILURE() << "first line: \"" << line << "\"";
      return 0;
    }
    return static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
  }

  void CloseStdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  void Signal(int sig) { kill(pid_, sig); }

  // The exit code, or -1 when the program has not ended within timeout_ms (or died of a signal).
  int Wait(int timeout_ms) {
    const int64_t deadline = NowMs() + timeout_ms;
    while (status_ < 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (NowMs() >= deadline) return -1;
      usleep(5000);
    }
    while (Pump(1000)) {
    }
    return status_;
  }

  // Everything written so far (all of it once Wait has returned).
  const std::string& Output() const { return output_; }

 private:
  bool Pump(int timeout_ms) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof(buf));
    if (n <= 0) {
      close(out_);
      out_ = -1;
      return false;
    }
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  int status_ = -1;
  std::string output_;
  size_t taken_ = 0;
};

TEST(ImpairCliTest, RelaysAndPrintsCountersWhenSignalled) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    UdpPeer upstream, client;
    ImpairProcess impair({"--upstream", upstream.address(), "--seed", "3"});
    const uint16_t port = impair.ListeningPort();
    ASSERT_NE(port, 0);
    client.SendTo(port, "ping");
    auto d = upstream.Recv(3000);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->data, "ping");
    upstream.SendTo(d->from, "pong");
    auto r = client.Recv(3000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, "pong");
    impair.Signal(sig);
    EXPECT_EQ(impair.Wait(3000), 0);
    EXPECT_NE(impair.Output().find("up received=1 forwarded=1 dropped=0"), std::string::npos) << impair.Output();
    EXPECT_NE(impair.Output().find("down received=1 forwarded=1 dropped=0"), std::string::npos)
        << impair.Output();
  }
}

TEST(ImpairCliTest, DirectionChoosesWhatIsImpaired) {
  struct Case {
    const char* dir;
    bool reaches_upstream, reaches_client;
  };
  for (Case c : {Case{"up", false, false}, Case{"down", true, false}, Case{"both", false, false}}) {
    SCOPED_TRACE(c.dir);
    UdpPeer upstream, client;
    ImpairProcess impair({"--upstream", upstream.address(), "--drop", "1", "--dir", c.dir, "--watch-stdin"});
    const uint16_t port = impair.ListeningPort();
    ASSERT_NE(port, 0);
    client.SendTo(port, "ping");
    auto d = upstream.Recv(c.reaches_upstream ? 3000 : 200);
    EXPECT_EQ(d.has_value(), c.reaches_upstream);
    if (d) {
      upstream.SendTo(d->from, "pong");
      EXPECT_EQ(client.Recv(200).has_value(), c.reaches_client);
    }
    impair.CloseStdin();
    EXPECT_EQ(impair.Wait(3000), 0);
    const std::string up = std::string(c.dir) == "down" ? "up received=1 forwarded=1 dropped=0"
                                                        : "up received=1 forwarded=0 dropped=1";
    EXPECT_NE(impair.Output().find(up), std::string::npos) << impair.Output();
  }
}

TEST(ImpairCliTest, EndsWhenStdinCloses) {
  UdpPeer upstream;
  ImpairProcess impair({"--upstream", upstream.address(), "--watch-stdin", "--delay", "20", "--jitter", "10"});
  ASSERT_NE(impair.ListeningPort(), 0);
  EXPECT_EQ(impair.Wait(200), -1);  // still running
  impair.CloseStdin();
  EXPECT_EQ(impair.Wait(3000), 0);
}

TEST(ImpairCliTest, AllowAnyAcceptsAnAddressOutsideLoopback) {
  // Nothing is sent: the program only has to start.
  ImpairProcess impair({"--upstream", "192.0.2.1:9", "--allow-any", "--watch-stdin"});
  EXPECT_NE(impair.ListeningPort(), 0);
  impair.CloseStdin();
  EXPECT_EQ(impair.Wait(3000), 0);
}

TEST(ImpairCliTest, RefusesBadArguments) {
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {{}, 2, "--upstream is required"},
      {{"--upstream", "10.1.2.3:9"}, 2, "--upstream: 10.1.2.3:9 is not in 127.0.0.0/8"},
      {{"--upstream", "8.8.8.8:53"}, 2, "--upstream: 8.8.8.8:53 is not in 127.0.0.0/8"},
      {{"--upstream", "127.0.0.1:99999"}, 2, "--upstream: bad address \"127.0.0.1:99999\": bad port"},
      {{"--upstream", "127.0.0.1:0"}, 2, "--upstream: 127.0.0.1:0: port must not be 0"},
      {{"--listen", "0.0.0.0:0", "--upstream", "127.0.0.1:9"}, 2, "--listen: 0.0.0.0:0 is not in 127.0.0.0/8"},
      {{"--upstream", "localhost:9"}, 2, "--upstream: bad address \"localhost:9\": not a numeric IPv4"},
      {{"--upstream", "127.0.0.1:9", "--drop", "1.5"}, 2, "--drop: 1.5 is out of range 0..1"},
      {{"--upstream", "127.0.0.1:9", "--dup", "half"}, 2, "--dup: 'half' is not a number"},
      {{"--upstream", "127.0.0.1:9", "--delay", "-3"}, 2, "--delay: -3 is out of range 0..3600000"},
      {{"--upstream", "127.0.0.1:9", "--seed", "x1"}, 2, "--seed: 'x1' is not a number"},
      {{"--upstream", "127.0.0.1:9", "--dir", "sideways"}, 2, "--dir: 'sideways' is not one of up|down|both"},
      {{"--upstream", "127.0.0.1:9", "--bogus", "1"}, 2, "unknown option --bogus"},
      {{"--upstream"}, 2, "--upstream needs a value"},
      {{"--help"}, 0, "example"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    ImpairProcess impair(c.args);
    EXPECT_EQ(impair.Wait(3000), c.code);
    EXPECT_NE(impair.Output().find(c.message), std::string::npos) << impair.Output();
    if (c.code != 0) {
      EXPECT_EQ(impair.Output().find("listening"), std::string::npos);
    }
  }
}

}  // namespace
