// Payload layouts of every message type. Offsets are within the payload (for
// login-ciphered types: within the plain block). min is what a receiver needs,
// size what the builder writes.
#include <cstddef>

#include "p2p/msg_layout.h"

namespace p2p {
namespace {

#define M(member) static_cast<uint16_t>(offsetof(RVP_Msg, member))
#define DID(o) {FieldKind::Did, o, M(did)}
#define ADDR(o, i) {FieldKind::Addr, o, static_cast<uint16_t>(M(addr) + (i) * sizeof(sockaddr_in))}
#define ADDR24(o, i) {FieldKind::Addr24, o, static_cast<uint16_t>(M(addr24) + (i) * sizeof(RVP_Address24))}
#define U8(o, member) {FieldKind::U8, o, M(member)}
#define U16(o, member) {FieldKind::U16, o, M(member)}
#define U32(o, member) {FieldKind::U32, o, M(member)}
#define S32(o, member) {FieldKind::S32, o, M(member)}
#define VERSION(o) {FieldKind::Version, o, M(version)}
#define DIDKEY(o) {FieldKind::DidKey, o, M(did_key)}
#define WAKEUP(o) {FieldKind::Wakeup, o, M(wakeup)}

#define FIXED(t, min, size, flags, n, ...) {{t, #t, min, size}, flags, VarKind::None, n, {__VA_ARGS__}}
#define VAR(t, min, flags, var, n, ...) {{t, #t, min, 0}, flags, var, n, {__VA_ARGS__}}
#define EMPTY(t) {{t, #t, 0, 0}, 0, VarKind::None, 0, {}}

// Shared field runs.
#define CONNECT_REQ DID(0), ADDR(20, 0)
#define CONNECT_REQ_KEYED DID(0), ADDR(20, 0), U8(36, nat_type), VERSION(37), DIDKEY(40)
#define TCP_CONNECT_REQ DID(0), ADDR24(20, 0), U8(44, nat_type), VERSION(45), U8(48, resend)
#define DEV_LOGIN DID(0), U8(20, nat_type), VERSION(21), ADDR(24, 0)

const MsgLayout kLayouts[] = {
    EMPTY(MsgHello),
    FIXED(MsgHelloAck, 16, 16, 0, 1, ADDR(0, 0)),
    FIXED(MsgPunchPair, 32, 32, 0, 2, ADDR(0, 0), ADDR(16, 1)),
    EMPTY(MsgPunchProbe),
    FIXED(MsgQueryDevice, 24, 24, 0, 1, DID(0)),
    FIXED(MsgQueryDeviceKeyed, 48, 48, 0, 2, DID(0), DIDKEY(24)),
    // Receivers read the values and the result byte; bytes 61..64 are not read.
    FIXED(MsgDeviceState, 61, 65, 0, 6, DID(0), ADDR(20, 0), ADDR(36, 1), S32(52, value[0]), S32(56, value[1]),
          U8(60, state)),
    FIXED(MsgLoginAck, 1, 1, 0, 1, U8(0, state)),
    FIXED(MsgDevLogin, 44, 44, kLoginCipher, 4, DEV_LOGIN),
    FIXED(MsgLoginAckSecure, 5, 5, kLoginCipher, 1, U8(0, state)),
    FIXED(MsgDevLoginKeyed, 68, 68, kLoginCipher, 5, DEV_LOGIN, DIDKEY(40)),
    FIXED(MsgConnectReq, 36, 36, 0, 2, CONNECT_REQ),
    FIXED(MsgConnectReqAck, 1, 1, 0, 1, U8(0, state)),
    FIXED(MsgConnectReqWakeup, 52, 52, 0, 3, CONNECT_REQ, WAKEUP(36)),
    FIXED(MsgConnectReqKeyed, 64, 64, 0, 5, CONNECT_REQ_KEYED),
    FIXED(MsgConnectReqKeyedWakeup, 80, 80, 0, 6, CONNECT_REQ_KEYED, WAKEUP(64)),
    VAR(MsgRelayedPunch, 88, 0, VarKind::RelayedPunch, 2, ADDR24(40, 0), ADDR24(64, 1)),
    EMPTY(MsgLanSearch),
    FIXED(MsgSmartLogin, 24, 24, kLoginCipher | kFixedKey, 1, DID(0)),
    FIXED(MsgSmartPeer, 52, 52, kFixedKey, 3, DID(0), ADDR(20, 0), ADDR(36, 1)),
    VAR(MsgPeerListToClient, 24, kFixedKey, VarKind::PeerList, 1, DID(0)),
    VAR(MsgPeerListToDevice, 24, kFixedKey, VarKind::PeerList, 1, DID(0)),
    FIXED(MsgPeerProbe, 36, 36, kFixedKey, 2, DID(0), ADDR(20, 0)),
    FIXED(MsgPeerProbeDev, 40, 40, kFixedKey, 4, DEV_LOGIN),
    FIXED(MsgPortRangePunchReq, 20, 20, kFixedKey, 4, ADDR(0, 0), U16(16, range), U8(18, step), U8(19, skip_exact)),
    FIXED(MsgPortBurstReq, 16, 16, 0, 1, ADDR(0, 0)),
    FIXED(MsgPunch, 20, 20, 0, 1, DID(0)),
    FIXED(MsgPunchReady, 20, 20, 0, 1, DID(0)),
    FIXED(MsgTcpDirectOffer, 44, 44, 0, 2, DID(0), ADDR24(20, 0)),
    FIXED(MsgTcpDirectReady, 20, 20, 0, 1, DID(0)),
    FIXED(MsgTcpRelayOffer, 48, 48, 0, 3, DID(0), U32(20, ticket), ADDR24(24, 0)),
    FIXED(MsgTcpConnectReq, 52, 52, 0, 5, TCP_CONNECT_REQ),
    FIXED(MsgTcpConnectReqKeyed, 76, 76, 0, 6, TCP_CONNECT_REQ, DIDKEY(52)),
    // The byte after the state is read when present.
    FIXED(MsgTcpServerState, 1, 2, 0, 2, U8(0, state), U8(1, state_next)),
    FIXED(MsgTcpConnectReqWakeup, 68, 68, 0, 6, TCP_CONNECT_REQ, WAKEUP(52)),
    FIXED(MsgTcpConnectReqKeyedWakeup, 92, 92, 0, 7, TCP_CONNECT_REQ, DIDKEY(52), WAKEUP(76)),
    FIXED(MsgRelayReqWakeup, 36, 36, 0, 2, DID(0), WAKEUP(20)),
    FIXED(MsgRelayReq, 20, 20, 0, 1, DID(0)),
    VAR(MsgRelayList, 4, 0, VarKind::RelayList, 0),
    FIXED(MsgRelayReqKeyed, 44, 44, 0, 2, DID(0), DIDKEY(20)),
    FIXED(MsgRelayReqKeyedWakeup, 60, 60, 0, 3, DID(0), DIDKEY(20), WAKEUP(44)),
    EMPTY(MsgRelayHello),
    EMPTY(MsgRelayHelloAck),
    EMPTY(MsgRelayPortReq),
    FIXED(MsgRelayPortAck, 8, 8, 0, 2, U32(0, ticket), U16(4, port)),
    FIXED(MsgRelayTo, 40, 40, 0, 3, DID(0), ADDR(20, 0), U32(36, ticket)),
    EMPTY(MsgRelayToAck),
    FIXED(MsgRelayPkt, 20, 20, 0, 2, ADDR(0, 0), U32(16, ticket)),
    FIXED(MsgRelayRdy, 28, 28, 0, 3, U32(0, ticket), DID(4), U8(24, role)),
    FIXED(MsgRelayReady, 20, 20, 0, 1, DID(0)),
    EMPTY(MsgServiceStart),
    FIXED(MsgRelayAddr, 16, 16, 0, 1, ADDR(0, 0)),
    VAR(MsgRelayRegister, 20, kLoginCipher, VarKind::RelayRegister, 0),
    VAR(MsgData, 4, 0, VarKind::Data, 0),
    VAR(MsgAck, 4, 0, VarKind::Ack, 0),
    VAR(MsgDatagram, 4, 0, VarKind::Datagram, 0),
    VAR(MsgBridge, 64, 0, VarKind::Bridge, 0),
    EMPTY(MsgAlive),
    EMPTY(MsgAliveAck),
    EMPTY(MsgClose),
    FIXED(MsgConnectReport, 84, 84, kFixedKey, 12, DID(0), S32(20, result), U16(24, max_sess), U16(26, in_use),
          U16(28, elapsed_ms), U8(30, role), U8(31, session_mode), U8(32, connect_mode), U8(33, probe), ADDR(36, 0),
          ADDR(52, 1), ADDR(68, 2)),
    FIXED(MsgRelayedPunchReport, 76, 76, kFixedKey, 6, DID(0), U32(20, handle), U8(24, role), ADDR(28, 0),
          ADDR(44, 1), ADDR(60, 2)),
};

struct Index {
  const MsgLayout* by_type[256] = {};
  Index() {
    for (const MsgLayout& l : kLayouts) by_type[l.info.type] = &l;
  }
};

const Index& TheIndex() {
  static const Index index;
  return index;
}

}  // namespace

const MsgLayout* LayoutOf(uint8_t type) { return TheIndex().by_type[type]; }

size_t FieldSize(FieldKind k) {
  switch (k) {
    case FieldKind::Did:
      return kDidBlockSize;
    case FieldKind::Addr:
      return kWireAddrSize;
    case FieldKind::Addr24:
      return kWireAddr24Size;
    case FieldKind::U8:
      return 1;
    case FieldKind::U16:
      return 2;
    case FieldKind::U32:
    case FieldKind::S32:
      return 4;
    case FieldKind::Version:
      return 3;
    case FieldKind::DidKey:
      return kDidKeyField;
    case FieldKind::Wakeup:
      return kWakeupField;
  }
  return 0;
}

}  // namespace p2p

const RVP_MsgInfo* RVP_MsgInfoOf(uint8_t type) {
  const p2p::MsgLayout* l = p2p::LayoutOf(type);
  return l ? &l->info : nullptr;
}
