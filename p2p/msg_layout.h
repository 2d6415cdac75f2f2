// Layout table of the message types, shared by the builder and the parser.
#pragma once

#include <cstddef>
#include <cstdint>

#include "p2p/msg.h"

namespace p2p {

enum class FieldKind : uint8_t { Did, Addr, Addr24, U8, U16, U32, S32, Version, DidKey, Wakeup };

// One field: its kind, its offset in the (plain) payload, and the offset of the
// RVP_Msg member that holds it.
struct FieldEntry {
  FieldKind kind;
  uint16_t wire;
  uint16_t member;
};

// Parts of a payload that are not a fixed list of fields.
enum class VarKind : uint8_t { None, PeerList, RelayList, Data, Ack, Datagram, RelayedPunch, Bridge, RelayRegister };

enum : uint8_t {
  kFixedKey = 1,     // payload scrambled with the fixed payload key
  kLoginCipher = 2,  // fields lie in a login-ciphered block (sizes are of the ciphered payload)
};

inline constexpr int kMaxFields = 12;

struct MsgLayout {
  RVP_MsgInfo info;
  uint8_t flags;
  VarKind var;
  uint8_t nfields;
  FieldEntry fields[kMaxFields];
};

// The layout of a type, or null.
const MsgLayout* LayoutOf(uint8_t type);
size_t FieldSize(FieldKind k);

}  // namespace p2p
