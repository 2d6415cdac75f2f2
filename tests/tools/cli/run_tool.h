// Runs a command-line tool as a user would and keeps what it said: exit code,
// standard output and standard error. Tables of such runs test each tool.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/temp_dir.h"

namespace clitest {

struct Run {
  int exit = -1;  // the exit status; 128 + N after signal N
  std::string out, err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs bin with args in cwd, standard input from `input`; killed after timeout_ms.
inline Run RunTool(const std::string& bin, const std::vector<std::string>& args, const std::string& cwd,
                   const std::string& input = "", int timeout_ms = 20000) {
  TempDir io("cli_io");
  const std::string in = io / "in", out = io / "out", err = io / "err";
  std::ofstream(in, std::ios::binary) << input;
  pid_t pid = fork();
  if (pid == 0) {
    int fi = open(in.c_str(), O_RDONLY), fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
        fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fi < 0 || fo < 0 || fe < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(fi, 0);
    dup2(fo, 1);
    dup2(fe, 2);
    std::vector<char*> argv{const_cast<char*>(bin.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  Run r;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      r.err = "(killed after " + std::to_string(timeout_ms) + " ms)\n";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = Slurp(out);
  r.err += Slurp(err);
  return r;
}

// One row of a tool's table: its arguments, the exit code, and text each of
// standard output and standard error must hold ("" = anything; a leading '='
// means exactly the rest, so "=" is empty). `gone` names files (in the
// folder) that must not exist after the run.
struct Case {
  std::vector<std::string> args;
  int exit;
  std::string out, err;
  std::vector<std::string> gone = {};
  std::string input = "";
};

inline void ExpectText(const std::string& what, const std::string& got, const std::string& want) {
  if (want.empty()) return;
  if (want[0] == '=') {
    EXPECT_EQ(got, want.substr(1)) << what;
  } else {
    EXPECT_NE(got.find(want), std::string::npos) << what << " should hold: " << want << "\n got: " << got;
  }
}

inline std::string Joined(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += (s.empty() ? "" : " ") + a;
  return s;
}

inline void Check(const std::string& bin, const Case& c, const std::string& cwd) {
  SCOPED_TRACE(Joined(c.args));
  Run r = RunTool(bin, c.args, cwd, c.input);
  EXPECT_EQ(r.exit, c.exit) << "stdout: " << r.out << "\nstderr: " << r.err;
  ExpectText("stdout", r.out, c.out);
  ExpectText("stderr", r.err, c.err);
  // No sanitizer report from any run.
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
  for (const std::string& f : c.gone) EXPECT_FALSE(std::filesystem::exists(cwd + "/" + f)) << f << " was left";
}

// What every tool does with --help, -h, an unknown option and a missing value.
inline std::vector<Case> CommonCases(const std::string& tool, const std::string& valued_option) {
  return {
      {{"--help"}, 0, "usage: " + tool, "="},
      {{"-h"}, 0, "example", "="},
      {{"--no-such-option"}, 2, "=", "unknown option --no-such-option"},
      {{valued_option}, 2, "=", valued_option + " needs a value"},
  };
}

}  // namespace clitest
