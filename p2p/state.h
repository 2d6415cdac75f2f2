// The library's one process-wide state: parameters, the session table, the
// servers of the init string, the packet key, the network facts and the
// global mutex.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "p2p/msg.h"
#include "p2p/session.h"
#include "p2p/sys.h"

namespace p2p {

inline constexpr int kDefaultMaxNumSess = 256;
inline constexpr int kDefaultSessAliveSec = 6;
inline constexpr int kMinSessAliveSec = 6;
inline constexpr int kMaxSessAliveSec = 30;
inline constexpr size_t kInitStringKeep = 256;
inline constexpr size_t kServerNameMax = 255;
inline constexpr int kServers = 3;
inline constexpr uint32_t kNoTick = 0xFFFFFFFFu;
inline constexpr size_t kApiInfoSize = 512;
inline constexpr unsigned kApiVersion = 0x05000900;

struct LibState {
  std::atomic<char> initialized{0};
  std::atomic<char> deinitializing{0};
  std::atomic<int> max_num_sess{kDefaultMaxNumSess};
  std::atomic<int> sess_alive_sec{kDefaultSessAliveSec};

  // Allocated by RVS_Initialize, freed by RVS_DeInitialize once no call is in flight.
  Session* sessions = nullptr;
  int cursor = 0;  // slot taken last (under the mutex)

  char init_string[kInitStringKeep + 1] = {};
  char server_names[kServers][kServerNameMax + 1] = {};
  sockaddr_in servers[kServers] = {};
  char packet_key[21] = {};
  // Network facts. The texts are written and read under the mutex
  // (RVP_SetNetText, RVP_NetTexts).
  char lan_ip[16] = "0.0.0.0";
  char wan_ip[16] = "0.0.0.0";
  std::atomic<uint8_t> nat_type{0};
  // The identity the loopback bridge uses: the DID of the last accepted secure
  // login (under the mutex).
  RVP_DidBlock bridge_did{};

  std::atomic<char> connect_break{0};
  std::atomic<char> listen_break{0};
  std::atomic<int> listen_timeout{0};

  // Times in seconds since 1970.
  std::atomic<int64_t> last_hello_answer{0};
  std::atomic<int64_t> last_net_detect{0};
  std::atomic<int64_t> last_login_ack_udp{0};
  std::atomic<int64_t> last_login_ack_tcp{0};
  std::atomic<int64_t> prev_tcp_listen_start{0};
  // Per server: ticks when the last HELLO was sent and answered (under the mutex).
  uint32_t hello_send_tick[kServers] = {kNoTick, kNoTick, kNoTick};
  uint32_t hello_answer_tick[kServers] = {kNoTick, kNoTick, kNoTick};

  std::atomic<char> smart_device_flag{0};
  std::atomic<char> share_bandwidth_flag{0};
  // Key text of the login-payload cipher (empty in this system).
  char login_key[32] = {};

  // Export calls between their entry and return; de-initialisation waits for 0.
  std::atomic<int> calls_in_flight{0};

  Mutex mutex;
};

extern LibState g_rvs;

// Counts one export call in flight for its whole duration.
class CallGuard {
 public:
  CallGuard() { g_rvs.calls_in_flight.fetch_add(1); }
  ~CallGuard() { g_rvs.calls_in_flight.fetch_sub(1); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  // Initialised and not de-initialising: the session table stays valid while this guard lives.
  static bool Usable() { return g_rvs.initialized.load() && !g_rvs.deinitializing.load(); }
};

inline void RVP_Lock() { g_rvs.mutex.Lock(); }
inline void RVP_Unlock() { g_rvs.mutex.Unlock(); }

// Finds key in a parameter text (only the 255 characters from its first
// occurrence count). A number runs from after the ':' behind the key to the
// next ',' or else '}'; a string lies between the next two '"' after the ':'.
// 0 with the value in out (terminated, at most cap - 1 characters), -1 missing.
int RVP_ParamGet(const char* text, const char* key, bool is_string, char* out, size_t cap);
// A number parameter, or -1 when missing; out of int range is clamped.
int RVP_ParamGetInt(const char* text, const char* key, int* out);

// The packet key of an init string: after its first ':', at most 20
// characters, ending before the first character below '!' or DEL.
void RVP_PacketKeyOf(const char* init, char out[21]);
// Decodes an init string and keeps the first three names, each ended by ','.
// Returns the number of names.
int RVP_ServerNamesOf(const char* init, char names[3][256]);

// Sets the LAN or WAN IP text (g_rvs.lan_ip / g_rvs.wan_ip) under the mutex.
void RVP_SetNetText(char* text, const char* value);
// Copies both texts under the mutex; either may be null.
void RVP_NetTexts(char lan[16], char wan[16]);

// Reserves a free slot (socket -2) round-robin after the cursor: the slot
// index, or -17. The caller then clears the record.
int RVP_SlotAlloc();
// Number of slots in use (socket 0 or more), under the mutex.
int RVP_SlotsInUse();

// Builds the status text into out.
void RVP_ApiInfoBuild(char* out, size_t cap);

}  // namespace p2p
