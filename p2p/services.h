// The two optional service threads of a device, each library-wide: the smart
// device, which introduces the two peers of a session to each other, and the
// bandwidth-sharing relay, which forwards a session's datagrams between a
// client and a device. A set flag (RVS_Enable_SmartDevice,
// RVS_Share_Bandwidth) lets the server dialogue start the thread when the
// servers send MsgServiceStart.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "p2p/msg.h"

namespace p2p {
// Smart-device thread state.
inline constexpr int kSmartIdle = 0;
inline constexpr int kSmartRunning = 1;
inline constexpr int kSmartStopAsked = 2;
// Bandwidth-sharing state.
inline constexpr int kShareIdle = 0;
inline constexpr int kShareRegistered = 1;
inline constexpr int kShareRelaying = 2;
inline constexpr int kShareStopAsked = 3;
// Probes of one side the smart device remembers.
inline constexpr int kSmartProbes = 4;
}  // namespace p2p

// Starts the bandwidth-sharing and smart-device threads whose flags are set
// and that are idle, handing them the DID.
void RVP_ServiceThreadsStart(const RVP_DidBlock& did);
// Asks the thread to stop when it runs and waits for it.
void RVP_SmartDeviceStop();
void RVP_ShareBandwidthStop();

// The thread routines; each returns 0 with its state back at idle.
int RVP_SmartDeviceThread();
int RVP_ShareBandwidthThread();

// For tests: the states, the threads' UDP ports (0 when closed) and the relay's ticket.
int RVP_SmartDeviceState();
int RVP_ShareBandwidthState();
uint16_t RVP_SmartDevicePort();
uint16_t RVP_ShareBandwidthPort();
uint32_t RVP_ShareBandwidthTicket();
