#include "p2p/services.h"

#include <mutex>

#include "p2p/state.h"

using namespace p2p;

namespace {
// The loopback bridge's socket; the bridge thread does not run in this build.
int g_bridge_socket = -1;
}  // namespace

void RVP_BridgeDeliver(const RVP_Msg& bridge) {
  if (g_bridge_socket < 0) return;
}

void RVP_ServiceThreadsStart(const RVP_DidBlock& did) {
  std::lock_guard<Mutex> g(g_rvs.mutex);
  // Neither service thread exists in this build, so a set flag starts nothing.
  if (!g_rvs.share_bandwidth_flag.load() && !g_rvs.smart_device_flag.load()) return;
}
