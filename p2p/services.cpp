// The loopback bridge and the two service threads are not part of this build
// of the library: no bridge socket exists, so a bridge message is delivered
// nowhere, and no service thread is started (this system never sets their
// flags).
#include "p2p/services.h"

void RVP_BridgeDeliver(const RVP_Msg&) {}

void RVP_ServiceThreadsStart(const RVP_DidBlock&) {}
