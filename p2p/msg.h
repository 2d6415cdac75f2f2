// P2P wire messages: the 4-byte header, the common payload blocks, one record
// for every message type, a table of the types' layouts, and the one builder
// and one parser that walk it. Sockets and TCP frames: msg_io.h.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "p2p/addr.h"

namespace p2p {
inline constexpr uint8_t kMsgMagic = 0xF1;
inline constexpr int kMsgHeaderSize = 4;
// Largest payload of a received datagram (1440 bytes with the header).
inline constexpr int kMaxPayload = 1436;
// Largest message the library writes.
inline constexpr int kMaxWrittenMsg = 1248;
inline constexpr int kChannels = 8;
inline constexpr int kDataMax = 1024;      // bytes of one MsgData
inline constexpr int kDatagramMax = 1240;  // bytes of one MsgDatagram
inline constexpr int kAckMax = 81;         // sequence numbers of one MsgAck
inline constexpr uint8_t kDataHeadMagic = 0xD1;
inline constexpr uint8_t kRlyPunchMagic = 0xA1;
inline constexpr int kDidBlockSize = 20;
inline constexpr int kRlyPunchHeadSize = 40;
inline constexpr int kBridgeHeadSize = 64;
inline constexpr int kDidKeyField = 24;
inline constexpr int kWakeupField = 16;
inline constexpr int kBridgePeerField = 40;
// Addresses a counted list can hold within one datagram.
inline constexpr int kMaxListAddrs = 89;
// Version bytes carried in logins and keyed requests.
inline constexpr uint8_t kVersionBytes[3] = {5, 0, 9};
}  // namespace p2p

enum RVP_MsgType : uint8_t {
  MsgHello = 0x00,
  MsgHelloAck = 0x01,
  MsgPunchPair = 0x02,
  MsgPunchProbe = 0x03,
  MsgQueryDevice = 0x05,
  MsgQueryDeviceKeyed = 0x06,
  MsgDeviceState = 0x07,
  MsgLoginAck = 0x11,
  MsgDevLogin = 0x12,
  MsgLoginAckSecure = 0x13,
  MsgDevLoginKeyed = 0x16,
  MsgConnectReq = 0x20,
  MsgConnectReqAck = 0x21,
  MsgConnectReqWakeup = 0x23,
  MsgConnectReqKeyed = 0x26,
  MsgConnectReqKeyedWakeup = 0x27,
  MsgRelayedPunch = 0x28,
  MsgLanSearch = 0x30,
  MsgSmartLogin = 0x36,
  MsgSmartPeer = 0x38,
  MsgPeerListToClient = 0x39,
  MsgPeerListToDevice = 0x3A,
  MsgPeerProbe = 0x3C,
  MsgPeerProbeDev = 0x3D,
  MsgPortRangePunchReq = 0x3F,
  MsgPortBurstReq = 0x40,
  MsgPunch = 0x41,
  MsgPunchReady = 0x42,
  MsgTcpDirectOffer = 0x43,
  MsgTcpDirectReady = 0x44,
  MsgTcpRelayOffer = 0x52,
  MsgTcpConnectReq = 0x53,
  MsgTcpConnectReqKeyed = 0x54,
  MsgTcpServerState = 0x55,
  MsgTcpConnectReqWakeup = 0x56,
  MsgTcpConnectReqKeyedWakeup = 0x57,
  MsgRelayReqWakeup = 0x66,
  MsgRelayReq = 0x67,
  MsgRelayList = 0x69,
  MsgRelayReqKeyed = 0x6A,
  MsgRelayReqKeyedWakeup = 0x6B,
  MsgRelayHello = 0x70,
  MsgRelayHelloAck = 0x71,
  MsgRelayPortReq = 0x72,
  MsgRelayPortAck = 0x73,
  MsgRelayTo = 0x80,
  MsgRelayToAck = 0x81,
  MsgRelayPkt = 0x82,
  MsgRelayRdy = 0x83,
  MsgRelayReady = 0x84,
  MsgServiceStart = 0x90,
  MsgRelayAddr = 0x91,
  MsgRelayRegister = 0x92,
  MsgData = 0xD0,
  MsgAck = 0xD1,
  MsgDatagram = 0xD8,
  MsgBridge = 0xDC,
  MsgAlive = 0xE0,
  MsgAliveAck = 0xE1,
  MsgClose = 0xF0,
  MsgConnectReport = 0xF9,
  MsgRelayedPunchReport = 0xFB,
};

// Results of the builder and the parser.
enum RVP_MsgError {
  kMsgOk = 0,
  kMsgErrHeader = -1,   // shorter than a header, or first byte not 0xF1
  kMsgErrLength = -2,   // header length differs from the bytes present
  kMsgErrUnknown = -3,  // no such message type
  kMsgErrShort = -4,    // payload below the type's minimum
  kMsgErrLong = -5,     // payload or byte count above the type's maximum
  kMsgErrHead = -6,     // inner head with a wrong first byte or length field
  kMsgErrChannel = -7,  // channel 8 or above
  kMsgErrCount = -8,    // a count beyond its limit or beyond the payload
  kMsgErrCipher = -9,   // login payload that does not decipher
  kMsgErrField = -10,   // a text too long for its field
  kMsgErrSpace = -11,   // output buffer too small
};

// DID block: prefix and suffix of up to 7 characters in 8-byte fields. The
// texts here always have a terminator, also when the wire fields have none.
struct RVP_DidBlock {
  char prefix[9];
  uint32_t serial;
  char suffix[9];
};

// One message of any type. Which members a type uses is given by its layout
// (msg_table.cpp); the comments name the types.
struct RVP_Msg {
  uint8_t type;
  RVP_DidBlock did;
  sockaddr_in addr[3];        // wire addresses in the order of the layout
  RVP_Address24 addr24[2];    // wire address24 values in the order of the layout
  uint8_t nat_type;
  uint8_t version[3];
  uint8_t state;              // result or state byte: DeviceState, LoginAck(Secure), ConnectReqAck, TcpServerState
  uint8_t state_next;         // TcpServerState: the byte after the state
  uint8_t role;               // RelayRdy, ConnectReport, RelayedPunchReport
  uint8_t resend;             // TcpConnectReq*
  uint8_t flag;               // RelayedPunch kinds 3, 4; RelayRegister: 0 DID form, 1 address form
  uint8_t step, skip_exact;   // PortRangePunchReq
  uint16_t range;             // PortRangePunchReq
  uint16_t port;              // RelayPortAck; Bridge kind 17
  uint32_t ticket;            // TcpRelayOffer, RelayPortAck, RelayTo, RelayPkt, RelayRdy
  int32_t value[2];           // DeviceState: the values at 52 and 56
  int32_t result;             // ConnectReport
  uint32_t handle;            // RelayedPunchReport
  uint16_t max_sess, in_use, elapsed_ms;        // ConnectReport
  uint8_t session_mode, connect_mode, probe;    // ConnectReport
  char did_key[p2p::kDidKeyField + 1];
  char wakeup[p2p::kWakeupField + 1];
  // Data, Ack, Datagram: channel and sequence number (Ack: count of seqs).
  uint8_t channel;
  uint16_t seq;
  // RelayedPunch: kind, head length field, token.
  uint8_t punch_kind;
  uint16_t punch_len;
  uint8_t token[16];
  // Bridge: kind, head length field, peer text, kind-18 status.
  uint8_t bridge_kind;
  uint16_t bridge_len;
  char peer[p2p::kBridgePeerField + 1];
  uint8_t status;
  // PeerListToClient/Device, RelayList: addresses (count); Ack: seqs (count).
  uint16_t count;
  sockaddr_in list[p2p::kMaxListAddrs];
  uint16_t seqs[p2p::kAckMax];
  // Data, Datagram, Bridge kinds 17 and 33 (other bridge kinds: the body after
  // the head). The parser points into the message it was given.
  const uint8_t* data;
  uint16_t data_len;
};

// Layout of one message type.
struct RVP_MsgInfo {
  uint8_t type;
  const char* name;
  uint16_t min;   // fewest payload bytes a receiver accepts
  uint16_t size;  // payload bytes the builder writes (fixed layouts)
};
// null for an unknown type.
const RVP_MsgInfo* RVP_MsgInfoOf(uint8_t type);

// A record of the type with everything zero and the version bytes set.
void RVP_MsgInit(RVP_Msg* m, uint8_t type);

void RVP_MsgHeaderWrite(uint8_t* msg, uint8_t type, uint16_t payload_len);
// -1 when fewer than 4 bytes are given or byte 0 is not 0xF1.
int RVP_MsgHeaderRead(const uint8_t* msg, size_t avail, uint8_t* type, uint16_t* payload_len);

// -1 when a text does not fit its 8-byte field (7 characters).
int RVP_DidMake(RVP_DidBlock* out, const char* prefix, uint32_t serial, const char* suffix);
int RVP_BuildDidBlock(uint8_t out[20], const RVP_DidBlock& did);
void RVP_DidBlockRead(const uint8_t in[20], RVP_DidBlock* out);
bool RVP_DidEqual(const RVP_DidBlock& a, const RVP_DidBlock& b);
// "%s-%06d-%s" into out; -1 when it needs more than cap - 1 characters.
int RVP_DidText(const RVP_DidBlock& did, char* out, size_t cap);

void RVP_DataHeadWrite(uint8_t out[4], uint8_t channel, uint16_t seq);
// -1 when the first byte is not 0xD1.
int RVP_DataHeadRead(const uint8_t in[4], uint8_t* channel, uint16_t* seq);
void RVP_BuildRlyPunchHead(uint8_t out[40], uint8_t kind, uint16_t len, const uint8_t token[16],
                           const uint8_t did_block[20]);
// -1 when the first byte is not 0xA1.
int RVP_RlyPunchHeadRead(const uint8_t in[40], uint8_t* kind, uint16_t* len, uint8_t token[16], RVP_DidBlock* did);
void RVP_BuildBridgeHead(uint8_t out[64], uint8_t kind, uint16_t len, const char* peer, const uint8_t did_block[20]);
void RVP_BridgeHeadRead(const uint8_t in[64], uint8_t* kind, uint16_t* len, char peer[41], RVP_DidBlock* did);

// Builds header and payload (fixed key and login cipher applied; not
// scrambled with the packet key). Returns the message length or an RVP_MsgError.
int RVP_MsgBuild(const RVP_Msg& m, uint8_t* out, size_t cap, const char* login_key = nullptr);
// Checks and parses a whole message (header and payload).
int RVP_MsgParse(const uint8_t* msg, size_t len, RVP_Msg* out, const char* login_key = nullptr);
// Parses a payload of the given type (as RVP_RecvMsg delivers it).
int RVP_MsgParsePayload(uint8_t type, const uint8_t* payload, size_t len, RVP_Msg* out,
                        const char* login_key = nullptr);
