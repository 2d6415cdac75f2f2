#include "p2p/sys.h"

#include <chrono>
#include <cstring>
#include <mutex>

namespace p2p {

int64_t NowSec() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

namespace {
std::mutex g_fail_mu;
std::string g_fail_name;
}  // namespace

bool TestThreadStartFails(const char* name) {
  std::lock_guard<std::mutex> g(g_fail_mu);
  if (g_fail_name.empty() || !name || g_fail_name != name) return false;
  g_fail_name.clear();
  return true;
}

}  // namespace p2p

void RVP_TestFailThreadStart(const char* name) {
  std::lock_guard<std::mutex> g(p2p::g_fail_mu);
  p2p::g_fail_name = name ? name : "";
}
