// Runs test code inside a network namespace of its own: a thread leaves the
// host's namespace with unshare(CLONE_NEWNET), so nothing it sends reaches a
// real network; the namespace goes away with the thread and its sockets.
#pragma once

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace p2ptest {

// Runs setup commands (ip ...) and then body inside a fresh namespace. Returns
// an empty text, or why the namespace could not be made or set up.
inline std::string RunInNetns(const std::vector<std::string>& setup, const std::function<void()>& body) {
  std::string why;
  std::thread t([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      why = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
      return;
    }
    for (const std::string& cmd : setup) {
      if (std::system((cmd + " >/dev/null 2>&1").c_str()) != 0) {
        why = "setup command failed: " + cmd;
        return;
      }
    }
    body();
  });
  t.join();
  return why;
}

// Setup commands of a namespace with a LAN to search: loopback, and a veth
// pair whose first end holds 10.9.0.1/24 with its broadcast address.
inline std::vector<std::string> LanSetup() {
  return {"ip link set lo up", "ip link add lan0 type veth peer name lan1", "ip addr add 10.9.0.1/24 brd + dev lan0",
          "ip link set lan0 up", "ip link set lan1 up"};
}

}  // namespace p2ptest
