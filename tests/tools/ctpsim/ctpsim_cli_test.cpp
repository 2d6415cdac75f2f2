// ctpsim as a program: its options, and a client talking to it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sdk/ctp/ctp_client.h"
#include "tests/sdk/net/net_test_util.h"

namespace {

// Runs ctpsim with args to its end; its exit status and output.
int RunSim(const std::vector<std::string>& args, std::string* out) {
  std::string cmd = CTPSIM_BIN;
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[512];
  out->clear();
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CtpsimCli, HelpAndUsageErrors) {
  std::string out;
  EXPECT_EQ(RunSim({"--help"}, &out), 0);
  EXPECT_NE(out.find("Example"), std::string::npos);
  EXPECT_NE(out.find("--channels N"), std::string::npos);
  EXPECT_EQ(RunSim({"-h"}, &out), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"file.txt"}, 2, "unknown option file.txt"},
      {{"--port"}, 2, "option --port needs a value"},
      {{"--port", "70000"}, 2, "--port must be 0 to 65535"},
      {{"--port", "12x"}, 2, "--port must be 0 to 65535"},
      {{"--channels", "0"}, 2, "--channels must be 1 to 64"},
      {{"--address", "10.1.2.3"}, 2, "--address must be a loopback IPv4 address"},
      {{"--address", "10.0.0.1"}, 2, "--address must be a loopback IPv4 address"},
      {{"--address", "localhost"}, 2, "--address must be a loopback IPv4 address"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RunSim(c.args, &out), c.status) << c.args[0];
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
  }
}

TEST(CtpsimCli, ServesAClientUntilTerminated) {
  nettest::PeerProcess sim;
  ASSERT_TRUE(sim.Start({CTPSIM_BIN, "--port", "0", "--channels", "3", "-v"}));
  std::string ready = sim.WaitForLine("ctpsim ready port=", 5000);
  ASSERT_FALSE(ready.empty()) << sim.Output();
  int port = std::stoi(ready.substr(ready.find("port=") + 5));
  CtpConn conn;
  ASSERT_EQ(CtpConnect(&conn, "127.0.0.1", port, 2000), kCtpOk);
  conn.channels = 3;
  std::string resp;
  EXPECT_EQ(CtpExecute(&conn, "getinfo", "", nullptr, nullptr, nullptr, 0, &resp), kCtpOk);
  EXPECT_EQ(resp, "-model ctpsim\r\n-channels 3\r\n-cltid \r\n");
  EXPECT_EQ(CtpPtzCtrl(&conn, 2, 3, 7, 0), kCtpOk);
  EXPECT_FALSE(sim.WaitForLine("CMD ptzctrl (3 options)", 5000).empty()) << sim.Output();
  CtpClose(&conn);
}

}  // namespace
