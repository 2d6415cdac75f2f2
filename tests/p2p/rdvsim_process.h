// The rendezvous simulator as a separate process, scripted through its
// standard input.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/p2p/child_process.h"

namespace p2ptest {

class RdvsimProcess : public ChildProcess {
 public:
  // Starts it on free ports; false with why when it does not report ready.
  bool Start(const std::vector<std::string>& args, std::string* why) {
    std::vector<std::string> all = {"--udp-port", "0", "--tcp-port", "0", "--stdin"};
    all.insert(all.end(), args.begin(), args.end());
    std::string line;
    if (!ChildProcess::Start(RDVSIM_PATH, all, "rdvsim ready ", why, &line)) return false;
    udp_port = static_cast<uint16_t>(std::atoi(Field(line, "udp=").c_str()));
    tcp_port = static_cast<uint16_t>(std::atoi(Field(line, "tcp=").c_str()));
    init = Field(line, "init=");
    return udp_port && tcp_port && !init.empty();
  }

  uint16_t udp_port = 0, tcp_port = 0;
  std::string init;
};

}  // namespace p2ptest
