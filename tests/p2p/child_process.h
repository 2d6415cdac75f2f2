// A helper program run as a separate process: started with its arguments,
// fed lines on its standard input, read line by line from its standard
// output, and stopped (killed if it does not end) when the test is done.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p2p/sys.h"

extern char** environ;

namespace p2ptest {

class ChildProcess {
 public:
  // Starts the program; with a ready prefix, waits up to ready_ms for the
  // output line that begins with it (into *ready_line). false with why.
  bool Start(const std::string& path, const std::vector<std::string>& args, const std::string& ready,
             std::string* why, std::string* ready_line = nullptr, unsigned ready_ms = 5000) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return Fail("pipe", why);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    // Standard error goes to a file, read for sanitizer reports at the end.
    char err_path[] = "/tmp/child_stderr_XXXXXX";
    int err = mkstemp(err_path);
    if (err >= 0) {
      err_path_ = err_path;
      posix_spawn_file_actions_adddup2(&fa, err, 2);
    }
    std::vector<std::string> all = {path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int r = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (err >= 0) close(err);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    if (r != 0) {
      pid_ = -1;
      return Fail("spawn " + path, why);
    }
    if (ready.empty()) return true;
    std::string line;
    if (!WaitLine(ready, ready_ms, &line)) return Fail("no line \"" + ready + "\" from " + path, why);
    if (ready_line) *ready_line = line;
    return true;
  }

  bool Send(const std::string& line) {
    std::string l = line + "\n";
    return to_ >= 0 && write(to_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
  }

  // A command line; true when the program answered "ok".
  bool Command(const std::string& line) {
    if (!Send(line)) return false;
    std::string answer;
    while (ReadLine(&answer, 3000)) {
      if (answer == "ok") return true;
      if (answer.rfind("error", 0) == 0) return false;
      lines.push_back(answer);
    }
    return false;
  }

  // Waits up to ms for an output line that begins with prefix.
  bool WaitLine(const std::string& prefix, unsigned ms, std::string* found = nullptr) {
    uint32_t start = p2p::TickMs();
    for (size_t seen = 0;;) {
      for (; seen < lines.size(); ++seen)
        if (lines[seen].rfind(prefix, 0) == 0) {
          if (found) *found = lines[seen];
          return true;
        }
      uint32_t spent = p2p::TickMs() - start;
      std::string l;
      if (spent >= ms || !ReadLine(&l, ms - spent)) return false;
      lines.push_back(l);
    }
  }

  // Ends it: end of input first, then a kill after wait_ms.
  void Stop(unsigned wait_ms = 2000) {
    if (to_ >= 0) close(to_);
    to_ = -1;
    if (pid_ > 0) {
      int status = 0;
      uint32_t start = p2p::TickMs();
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (p2p::TickMs() - start > wait_ms) {
          kill(pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        p2p::SleepMs(10);
      }
      exited_cleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    pid_ = -1;
    if (from_ >= 0) close(from_);
    from_ = -1;
    CheckStderr();
  }
  ~ChildProcess() { Stop(); }

  // The value after "key" in a line, up to the next blank.
  static std::string Field(const std::string& line, const std::string& key) {
    size_t at = line.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return line.substr(at, line.find(' ', at) - at);
  }

  pid_t Pid() const { return pid_; }

  std::vector<std::string> lines;  // output lines read so far, besides command answers
  bool exited_cleanly = false;
  std::string sanitizer_report;  // what the program's sanitizer said, if anything

 private:
  // Passes the program's standard error on to ours, and fails the test (or,
  // outside a test, the benchmark) when it holds a sanitizer report.
  void CheckStderr() {
    if (err_path_.empty()) return;
    std::string text;
    if (FILE* f = std::fopen(err_path_.c_str(), "rb")) {
      char b[4096];
      size_t n;
      while ((n = std::fread(b, 1, sizeof b, f)) > 0) text.append(b, n);
      std::fclose(f);
    }
    unlink(err_path_.c_str());
    err_path_.clear();
    std::fputs(text.c_str(), stderr);
    if (text.find("Sanitizer") == std::string::npos && text.find("runtime error:") == std::string::npos) return;
    sanitizer_report = text;
#if defined(GTEST_INCLUDE_GTEST_GTEST_H_) || defined(GOOGLETEST_INCLUDE_GTEST_GTEST_H_)
    ADD_FAILURE() << "a child process printed a sanitizer report:\n" << text;
#else
    std::fprintf(stderr, "a child process printed a sanitizer report\n");
    std::abort();
#endif
  }
  bool Fail(const std::string& what, std::string* why) {
    if (why) *why = what;
    Stop();
    return false;
  }
  bool ReadLine(std::string* line, unsigned ms) {
    uint32_t start = p2p::TickMs();
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        *line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      uint32_t spent = p2p::TickMs() - start;
      if (spent >= ms) return false;
      pollfd p{from_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(ms - spent)) <= 0) return false;
      char b[512];
      ssize_t n = read(from_, b, sizeof(b));
      if (n <= 0) return false;
      buf_.append(b, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string err_path_;
  std::string buf_;
};

}  // namespace p2ptest
