// Entry points the server dialogue calls into the device-side services: the
// loopback bridge and the smart-device and bandwidth-sharing threads.
#pragma once

#include <cstdint>

#include "p2p/msg.h"

// Delivers a MsgBridge for the session's DID to a local program (called under
// the global mutex). Nothing happens while the bridge socket is closed.
void RVP_BridgeDeliver(const RVP_Msg& bridge);

// Starts the bandwidth-sharing and smart-device threads whose flags are set
// and that are idle, handing them the DID.
void RVP_ServiceThreadsStart(const RVP_DidBlock& did);
