// The session record of one slot of the session table.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

namespace p2p {

inline constexpr int kSlotFree = -1;
inline constexpr int kSlotReserved = -2;

enum SessionRole : uint8_t { kRoleClient = 0, kRoleDevice = 1 };

struct Session {
  // The UDP socket: kSlotFree, kSlotReserved, or 0 and above while in use.
  // Written under the global mutex.
  int socket = kSlotFree;
  sockaddr_in remote{}, local{}, wan{};
  int32_t device_state = -2;
  int64_t established_time = 0;
  char did[24] = {};
  uint8_t role = kRoleClient;
  uint8_t mode = 0;
  std::atomic<char> stop_dialogue{0};
  std::atomic<char> closing{0};
  std::atomic<char> established{0};
  std::atomic<char> closed_timeout{0};
  std::atomic<char> closed_remote{0};
  std::atomic<char> closed_caller{0};
  std::atomic<char> out_of_memory{0};
  std::atomic<char> close_started{0};
  std::atomic<int8_t> server_state{1};
  std::atomic<int8_t> login_result{1};

  // Back to a cleared record: socket -1, state bytes 1.
  void Clear();
  bool InUse() const { return socket >= 0; }
};

}  // namespace p2p
