// The session record of one slot of the session table.
//
// Sharing between the procedure that connects or listens and the session's
// server-dialogue thread: state bytes and flags are atomics that one side
// writes and the other reads; addresses (remote, local, WAN, relay, relay
// history) are written and read under the global mutex; the TCP links guard
// their own buffers (tcp_link.h). The TCP relay ticket and address are written
// before tcp_relay_offered is set and read after it is seen.
//
// Once established, the channels, the relayed-punch part and the sender
// round's values are guarded by the global mutex; the receive and send
// threads and the data calls share them.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "p2p/addr.h"
#include "p2p/channel.h"
#include "p2p/msg.h"
#include "p2p/sys.h"

struct RVP_TcpLink;

namespace p2p {

inline constexpr int kSlotFree = -1;
inline constexpr int kSlotReserved = -2;
inline constexpr int kTcpLinks = 3;
inline constexpr int kRelayHistory = 4;

enum SessionRole : uint8_t { kRoleClient = 0, kRoleDevice = 1 };
enum SessionMode : uint8_t { kModeP2P = 0, kModeUdpRelay = 1, kModeTcpRelay = 2, kModeRelayedPunch = 3 };

// Server state bytes (signed): what the servers said about the device.
inline constexpr int8_t kServerWaiting = 1;
inline constexpr int8_t kServerOnline = 0;
inline constexpr int8_t kServerNotOnline = -2;  // 254
inline constexpr int8_t kServerInvalidId = -1;  // 255
inline constexpr int8_t kServerBadPrefix = -3;  // 253
inline constexpr int8_t kServerRefused = -4;    // 252

// Relay state bytes.
inline constexpr uint8_t kRelayWaitList = 251;
inline constexpr uint8_t kRelayHellosSent = 252;
inline constexpr uint8_t kRelayPortAsked = 253;
inline constexpr uint8_t kRelayTicketHeld = 254;
inline constexpr uint8_t kRelayServersAcked = 255;
inline constexpr uint8_t kRelayInUse = 1;

// TCP link state: off, on, or a server answered over UDP.
inline constexpr uint8_t kTcpLinksOff = 0;
inline constexpr uint8_t kTcpLinksOn = 1;
inline constexpr uint8_t kTcpLinksUdpAnswered = 2;

// TCP resend claim: free, taken by the UDP relay hand-shake, taken by a TCP resend.
inline constexpr uint8_t kClaimFree = 0;
inline constexpr uint8_t kClaimUdpRelay = 1;
inline constexpr uint8_t kClaimTcpResend = 2;

// TCP relay connect state.
inline constexpr uint8_t kTcpRelayRunning = 0;
inline constexpr uint8_t kTcpRelayConnected = 1;
inline constexpr uint8_t kTcpRelayNoSocket = 2;
inline constexpr uint8_t kTcpRelayRetrying = 3;
inline constexpr uint8_t kTcpRelayFailed = 4;

inline constexpr uint8_t kFramingFull = 0;
inline constexpr uint8_t kFramingSimple = 1;

struct Session {
  // The UDP socket: kSlotFree, kSlotReserved, or 0 and above while in use.
  // Written under the global mutex.
  int socket = kSlotFree;
  sockaddr_in remote{}, local{}, wan{};
  std::atomic<int32_t> device_state{-2};
  std::atomic<int64_t> established_time{0};
  std::atomic<uint32_t> established_tick{0};  // the same moment as a tick (for timing connects)
  char did[24] = {};
  RVP_DidBlock did_block{};
  uint8_t role = kRoleClient;
  std::atomic<uint8_t> mode{kModeP2P};
  std::atomic<char> stop_dialogue{0};
  std::atomic<char> closing{0};
  std::atomic<char> established{0};
  std::atomic<char> closed_timeout{0};
  std::atomic<char> closed_remote{0};
  std::atomic<char> closed_caller{0};
  std::atomic<char> out_of_memory{0};
  std::atomic<char> close_started{0};
  // The handle went to the caller: the session's threads run and the data
  // calls may use it (a slot still connecting or listening is nobody's yet).
  std::atomic<char> handed_out{0};
  std::atomic<int8_t> relay_retry{0};
  std::atomic<char> query{0};
  std::atomic<char> port_burst{0};
  std::atomic<char> probe{0};
  char packet_key[24] = {};
  char did_key[24] = {};
  char wakeup[20] = {};  // WakeupInfo: up to 16 characters

  Thread dialogue_thread;

  sockaddr_in servers[3] = {};
  sockaddr_in relay{};
  std::atomic<int8_t> server_state{kServerWaiting};
  std::atomic<int8_t> login_result{kServerWaiting};
  std::atomic<uint8_t> relay_state{0};
  std::atomic<uint32_t> relay_ticket{0};
  sockaddr_in relay_history[kRelayHistory] = {};
  int relay_restarts = 0;

  // TCP part. Links are made and freed by the procedure; the dialogue thread
  // takes their complete messages while it runs.
  std::atomic<RVP_TcpLink*> tcp_links[kTcpLinks] = {};
  uint32_t tcp_relay_ticket = 0;
  RVP_Address24 tcp_relay_addr{};
  std::atomic<int64_t> tcp_start_time{0};
  uint32_t tcp_start_tick = 0;
  std::atomic<char> tcp_relay_offered{0};
  std::atomic<uint8_t> tcp_link_state{kTcpLinksOff};
  std::atomic<char> tcp_state_seen{0};
  std::atomic<uint8_t> tcp_relay_state{kTcpRelayRunning};
  uint8_t tcp_resend_claim = kClaimFree;  // under the global mutex
  std::atomic<int> tcp_socket{-1};
  // What the TCP relay reported: [0] the client side, [1] the device side.
  RVP_Address24 tcp_relay_reported[2] = {};
  uint32_t last_tcp_alive_tick = 0;

  // 0 = never.
  std::atomic<uint32_t> last_lan_answer_tick{0};
  std::atomic<uint32_t> last_port_burst_tick{0};
  std::atomic<int> listen_tcp_socket{-1};
  std::atomic<int> direct_tcp_socket{-1};
  std::atomic<uint8_t> tcp_framing{kFramingFull};
  std::atomic<char> accept_direct_tcp{0};

  // Reliable channels (channel.h) and their semaphores (count 0..1). The
  // semaphores live as long as the session table, so a reader waiting on one
  // never waits on a destroyed object.
  Channel channels[kChannels] = {};
  Semaphore sems[kChannels];
  // The sender period and receive wait: 40 ms on UDP, 10 on a TCP socket,
  // lowered by quick acknowledgements.
  std::atomic<uint32_t> interval{40};
  uint32_t last_round_tick = 0;  // under the global mutex
  Thread recv_thread, send_thread, lan_thread;
  // Serialises writes to the session's TCP socket (frames never interleave).
  Mutex tcp_send_mu;
  // Counts the uses of the slot: a call that captured one generation never
  // touches the slot once it was freed (and perhaps taken again).
  std::atomic<uint32_t> generation{0};
  // Data calls waiting on the session outside the mutex (under the mutex);
  // the close waits for them before it frees the slot.
  int waiters = 0;
  // Elapsed time of the connect or listen, for its report.
  uint32_t start_tick = 0;

  // Relayed punch (under the global mutex).
  std::atomic<char> allow_rp2p{0};
  uint8_t punch_state = 0;  // 0 idle, 1 running
  uint8_t punch_token[16] = {};
  sockaddr_in punch_server{};
  sockaddr_in punch_peer_wan{}, punch_peer_local{};
  bool punch_report_sent = false;

  // Back to a cleared record: sockets -1, state bytes 1, channels empty. The
  // dialogue and session threads must have ended.
  void Clear();
  bool InUse() const { return socket >= 0; }
};

}  // namespace p2p
