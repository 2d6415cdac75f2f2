// Engine.IO 3 / socket.io packets as the push channel reads them.
#pragma once

#include <cstddef>
#include <string>

enum SockioPacketType {
  kSioIgnored = 0,  // anything the client does not act on
  kSioOpen = 1,     // "0" + JSON
  kSioClose = 2,    // "1"
  kSioPong = 3,     // "3"
  kSioEvent = 4,    // "42" or "45" + JSON array
};

struct SockioPacket {
  int type;
  const char* data;  // for kSioOpen the JSON, for kSioEvent the array text
  size_t length;
};

// Classifies a text frame; returns the type.
int SockioParsePacket(const char* text, size_t length, SockioPacket* out);

// Applies an open packet's JSON to the ping timing (whole seconds): interval =
// pingInterval / 1000, time-out = pingTimeout / 1000, then when time-out <
// interval / 2 the time-out becomes interval / 2 and, for intervals of at
// most 25 s, the interval shrinks by 2. Missing values keep the current ones;
// both stay at least 1 s. *sid receives "sid" when present and made only of
// URL-safe characters. 0, or -1 when the
// JSON is not an object (nothing changed).
int SockioApplyOpen(const char* json, size_t length, int* interval_s, int* timeout_s, std::string* sid);
