// rdvsim, p2pdev, p2pcli and cloudsim run as a user runs them: exit code,
// standard output and standard error for help, bad arguments, refused
// addresses and fixtures, and the README's examples. Runs in a network
// namespace of its own (only loopback up).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/p2p/child_process.h"
#include "tests/tools/cli/run_tool.h"

namespace {

using clitest::Case;
using std::string;
using std::vector;

void RunAll(const string& bin, const vector<Case>& cases, const string& cwd) {
  for (const Case& c : cases) clitest::Check(bin, c, cwd);
}

// A running rdvsim on free ports: its init string and "--server-ports U,T".
struct Sim {
  p2ptest::ChildProcess proc;
  string init, ports;
  bool Start() {
    string why, line;
    if (!proc.Start(RDVSIM_BIN, {"--udp-port", "0", "--tcp-port", "0", "--stdin"}, "rdvsim ready ", &why, &line)) {
      ADD_FAILURE() << why;
      return false;
    }
    init = p2ptest::ChildProcess::Field(line, "init=");
    ports = p2ptest::ChildProcess::Field(line, "udp=") + "," + p2ptest::ChildProcess::Field(line, "tcp=");
    return true;
  }
};

TEST(SimCli, Rdvsim) {
  TempDir dir("rdvsim_cli");
  vector<Case> cases = clitest::CommonCases("rdvsim", "--udp-port");
  vector<Case> more = {
      {{"--udp-port", "0", "--tcp-port", "0", "--relay", "127.0.0.4", "--stdin"}, 0, "rdvsim ready udp=", "=", {},
       "state EED-000001-DEV 0\nbogus\nquit\n"},
      {{"--udp-port", "0", "--tcp-port", "0", "--stdin"}, 0, "\nok\nerror: cannot do: bogus\n", "=", {},
       "state EED-000001-DEV 0\nbogus\n"},
      {{"--udp-port", "0", "--tcp-port", "0", "--relay", "127.0.0.4", "--stdin"}, 0, " relay=127.0.0.4:", "=", {},
       "quit\n"},
      // Relays never bind every interface.
      {{"--relay", "nonsense"}, 2, "=", "rdvsim: --relay: 'nonsense' is not an IPv4 address"},
      {{"--relay", "0.0.0.0"}, 2, "=", "rdvsim: --relay: 0.0.0.0 would take every interface"},
      {{"--ips", "127.0.0.1,127.0.0.2,127.0.0.3,127.0.0.4"}, 2, "=", "rdvsim: --ips: more than 3 addresses"},
      {{"--ips", "127.0.0.1,127.0.0.2"}, 2, "=", "rdvsim: --ips: needs 3 addresses"},
      {{"--ips", "127.0.0.1,x,127.0.0.3"}, 2, "=", "rdvsim: --ips: 'x' is not an IPv4 address"},
      {{"--udp-port", "abc"}, 2, "=", "rdvsim: --udp-port: 'abc' is not a number"},
      {{"--udp-port", "65534"}, 2, "=", "rdvsim: --udp-port: 65534 is out of range 0..65533"},
      {{"--tcp-port", "-1"}, 2, "=", "rdvsim: --tcp-port: -1 is out of range 0..65535"},
      {{"--cmd", "bogus"}, 2, "=", "rdvsim: --cmd \"bogus\": cannot do: bogus"},
      {{"extra"}, 2, "=", "rdvsim: unexpected argument 'extra'"},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  RunAll(RDVSIM_BIN, cases, dir.path());
  // Another address only with --allow-any (here, in a namespace of the test's
  // own, nothing holds it).
  const vector<Case> any = {
      {{"--relay", "10.9.8.7"}, 2, "=", "rdvsim: --relay: 10.9.8.7 is not a loopback address (127.0.0.0/8); others need --allow-any"},
      {{"--ips", "10.9.8.1,10.9.8.2,10.9.8.3"}, 2, "=", "rdvsim: --ips: 10.9.8.1 is not a loopback address"},
      {{"--udp-port", "0", "--tcp-port", "0", "--relay", "10.9.8.7", "--allow-any"}, 1, "=", "10.9.8.7"},
  };
  RunAll(RDVSIM_BIN, any, dir.path());
}

TEST(SimCli, P2pdevAndP2pcli) {
  TempDir dir("p2p_cli");
  Sim sim;
  ASSERT_TRUE(sim.Start());
  const string did = "EED-000001-DEV";
  vector<Case> dev = clitest::CommonCases("p2pdev", "--init");
  vector<Case> dev_more = {
      {{"--did", did}, 2, "=", "p2pdev: --init INIT is needed"},
      {{"--init", sim.init}, 2, "=", "p2pdev: --did DID is needed"},
      {{"--init", sim.init, "--did", did, "--udp-port", "abc"}, 2, "=", "p2pdev: --udp-port: 'abc' is not a number"},
      {{"--init", sim.init, "--did", did, "--login-mode", "3"}, 2, "=", "p2pdev: --login-mode: 3 is out of range 0..2"},
      {{"--init", sim.init, "--did", did, "--alive", "99"}, 2, "=", "p2pdev: --alive: 99 is out of range 6..30"},
      {{"--init", sim.init, "--did", did, "--echo", "--bulk", "10"}, 2, "=", "--echo and --bulk exclude each other"},
      {{"--init", sim.init, "--did", did, "--server-ports", "1"}, 2, "=", "p2pdev: --server-ports: '1' is not UDP,TCP"},
      {{"--init", sim.init, "--did", did, "--timeout"}, 2, "=", "p2pdev: --timeout needs a value S", {"--timeout"}},
      {{"--init", "nonsense", "--did", did}, 2, "=", "p2pdev: --init: 'nonsense' is not an init string"},
  };
  dev.insert(dev.end(), dev_more.begin(), dev_more.end());
  RunAll(P2PDEV_BIN, dev, dir.path());

  vector<Case> cli = clitest::CommonCases("p2pcli", "--did");
  vector<Case> cli_more = {
      {{"--did", did}, 2, "=", "p2pcli: --init INIT is needed"},
      {{"--init", sim.init, "--did", did, "--mode", "256"}, 2, "=", "p2pcli: --mode: 256 is out of range 0..255"},
      {{"--init", sim.init, "--did", did, "--mode", "99"}, 2, "=", "p2pcli: --mode: 99 is not a connect mode"},
      {{"--init", sim.init, "--did", did, "--mode", "x"}, 2, "=", "p2pcli: --mode: 'x' is not a number"},
      {{"--init", "garbage", "--did", did}, 2, "=", "p2pcli: --init: 'garbage' is not an init string"},
      // Long enough, but not letters A..P, or letters that decode to no server names.
      {{"--init", "QRSTUVWXYZQRSTUVWXYZ", "--did", did}, 2, "=", "p2pcli: --init: 'QRSTUVWXYZ"},
      {{"--init", "AAAAAAAAAAAAAAAAAAAAAA", "--did", did}, 2, "=", "p2pcli: --init: 'AAAAAAAAAAAAAAAAAAAAAA' is not"},
      {{"--init", sim.init + "\"", "--did", did}, 2, "=", "is not an init string"},
      {{"--init", sim.init, "--did", did, "--channels", "0"}, 2, "=", "p2pcli: --channels: 0 is out of range 1..8"},
      {{"--init", sim.init, "--did", did, "--echo", "x"}, 2, "=", "p2pcli: --echo: 'x' is not a number"},
      // A device the servers do not know: the connect fails with the result's text.
      {{"--init", sim.init, "--server-ports", sim.ports, "--did", "EED-000002-OFF", "--mode", "127"}, 3,
       "cli connect result=-6 ms=", "="},
      {{"--init", sim.init, "--server-ports", sim.ports, "--did", "EED-000002-OFF", "--mode", "127"}, 3,
       " (device not online)\n", "="},
  };
  cli.insert(cli.end(), cli_more.begin(), cli_more.end());
  RunAll(P2PCLI_BIN, cli, dir.path());

  // The README's example: a device and a client that echoes through it.
  p2ptest::ChildProcess device;
  string why;
  ASSERT_TRUE(device.Start(P2PDEV_BIN, {"--init", sim.init, "--did", did, "--server-ports", sim.ports, "--sessions", "1"},
                           "device ready", &why, nullptr, 15000))
      << why;
  clitest::Run r = clitest::RunTool(P2PCLI_BIN, {"--init", sim.init, "--did", did, "--server-ports", sim.ports,
                                                 "--mode", "12", "--echo", "65536"},
                                    dir.path(), "", 60000);
  EXPECT_EQ(r.exit, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("cli session mode=0 remote=127."), string::npos) << r.out;
  EXPECT_NE(r.out.find("cli echo ok bytes=65536 "), string::npos) << r.out;
  EXPECT_TRUE(device.WaitLine("device exit", 15000));
}

// An init string the library cannot use is a usage error naming --init, before any connect.
TEST(SimCli, CamsimAndDevcliRefuseABadInit) {
  TempDir dir("devlink_cli");
  const vector<string> camera = {"--did", "VLM-000001-CAM", "--password", "123456"};
  auto with = [](vector<string> a, const vector<string>& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  for (const string& init : {string("garbage"), string("QRSTUVWXYZQRSTUVWXYZ")}) {
    SCOPED_TRACE(init);
    const string says = "--init: '" + init + "' is not an init string";
    clitest::Check(CAMSIM_BIN, {with({"--init", init, "--video", "v.h264"}, camera), 2, "=", "camsim: " + says},
                   dir.path());
    clitest::Check(DEVCLI_BIN, {with(with({"--init", init}, camera), {"features"}), 2, "=", "devcli: " + says},
                   dir.path());
  }
}

TEST(SimCli, Cloudsim) {
  TempDir dir("cloudsim_cli");
  const string js = string(CLOUDSIM_DIR) + "/cloudsim.js";
  const string fixture = string(CLOUD_TEST_DATA) + "/account";
  std::filesystem::create_directories(dir / "bad_users");
  std::ofstream(dir / "bad_users/users.json") << "{\"id\": 1}\n";
  std::filesystem::create_directories(dir / "bad_devices");
  std::ofstream(dir / "bad_devices/devices.json") << "{\"1001\": [1, 2]}\n";
  std::filesystem::create_directories(dir / "bad_json");
  std::ofstream(dir / "bad_json/tokens.json") << "{\"1\": \n";
  std::ofstream(dir / "plain_file") << "x\n";
  std::filesystem::copy_file(js, dir / "cloudsim.js");  // beside no node_modules
  const vector<Case> cases = {
      {{js, "--help"}, 0, "usage: node cloudsim.js --fixture DIR", "="},
      {{js, "-h"}, 0, "example:", "="},
      {{js, "--fixture", fixture, "--watch-stdin"}, 0, "\nREADY\n", ""},
      {{js, "--bogus"}, 2, "=", "cloudsim: unknown option --bogus\n"},
      {{js, "--fixture"}, 2, "=", "cloudsim: --fixture needs a value\n"},
      {{js}, 2, "=", "cloudsim: --fixture DIR is required\n"},
      {{js, "--fixture", fixture, "--port", "abc"}, 2, "=", "cloudsim: --port: abc is not a port number (0..65535)\n"},
      {{js, "--fixture", fixture, "--host", "0.0.0.0"}, 2, "=", "cloudsim: 0.0.0.0 is not a loopback address\n"},
      {{js, "--fixture", "missing"}, 2, "=", "cloudsim: fixture folder missing: does not exist\n"},
      {{js, "--fixture", "plain_file"}, 2, "=", "cloudsim: fixture plain_file is not a folder\n"},
      {{js, "--fixture", "bad_users"}, 2, "=", "bad_users/users.json: not of the shape a list of"},
      {{js, "--fixture", "bad_devices"}, 2, "=", "bad_devices/devices.json: not of the shape"},
      {{js, "--fixture", "bad_json"}, 2, "=", "bad_json/tokens.json: "},
      // Without its packages: a hint, not a stack trace.
      {{"cloudsim.js", "--fixture", fixture}, 1, "=", "the package socket.io is not installed; run \"npm ci\""},
  };
  for (const Case& c : cases) {
    clitest::Check(NODE_BIN, c, dir.path());
  }
  clitest::Run r = clitest::RunTool(NODE_BIN, {"cloudsim.js", "--fixture", fixture}, dir.path());
  EXPECT_EQ(r.err.find("    at "), string::npos) << r.err;
}

TEST(SimCli, S3peer) {
  TempDir dir("s3peer_cli");
  const string js = string(S3PEER_DIR) + "/s3peer.js";
  std::filesystem::create_directories(dir / "objects/a");
  std::ofstream(dir / "objects/a/b.txt") << "b\n";
  std::ofstream(dir / "plain_file") << "x\n";
  std::filesystem::copy_file(js, dir / "s3peer.js");  // beside no node_modules
  const vector<Case> cases = {
      {{js, "--help"}, 0, "usage: node s3peer.js --dir DIR", "="},
      {{js, "-h"}, 0, "\nexample:\n  node tools/s3peer/s3peer.js --dir ", "="},
      {{js, "--dir", "objects", "--watch-stdin"}, 0, "PORT ", "="},
      {{js, "--bogus"}, 2, "=", "s3peer: unknown option --bogus\n"},
      {{js, "extra"}, 2, "=", "s3peer: unexpected argument extra\n"},
      {{js, "--dir"}, 2, "=", "s3peer: --dir needs a value\n"},
      {{js}, 2, "=", "s3peer: --dir DIR is required\n"},
      {{js, "--dir", "missing"}, 2, "=", "s3peer: --dir: missing is not a folder\n"},
      {{js, "--dir", "plain_file"}, 2, "=", "s3peer: --dir: plain_file is not a folder\n"},
      {{js, "--dir", "objects", "--bucket", "No_Such"}, 2, "=", "s3peer: --bucket: No_Such is not a bucket name\n"},
      // Without its packages: a hint, not a stack trace.
      {{"s3peer.js", "--dir", "objects"}, 1, "=", "s3peer: the package s3rver is not installed; run \"npm ci\""},
  };
  for (const Case& c : cases) {
    clitest::Check(NODE_BIN, c, dir.path());
  }
}

}  // namespace
