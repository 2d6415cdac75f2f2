// The header and the common payload blocks of the messages.
#include <cstdio>
#include <cstring>

#include "p2p/bytes.h"
#include "p2p/msg.h"

using namespace p2p;

void RVP_MsgInit(RVP_Msg* m, uint8_t type) {
  std::memset(m, 0, sizeof(*m));
  m->type = type;
  std::memcpy(m->version, kVersionBytes, 3);
}

void RVP_MsgHeaderWrite(uint8_t* msg, uint8_t type, uint16_t payload_len) {
  msg[0] = kMsgMagic;
  msg[1] = type;
  PutBe16(msg + 2, payload_len);
}

int RVP_MsgHeaderRead(const uint8_t* msg, size_t avail, uint8_t* type, uint16_t* payload_len) {
  if (avail < static_cast<size_t>(kMsgHeaderSize) || msg[0] != kMsgMagic) return -1;
  *type = msg[1];
  *payload_len = GetBe16(msg + 2);
  return 0;
}

int RVP_DidMake(RVP_DidBlock* out, const char* prefix, uint32_t serial, const char* suffix) {
  std::memset(out, 0, sizeof(*out));
  if (!prefix || !suffix) return -1;
  size_t p = strnlen(prefix, 8), s = strnlen(suffix, 8);
  if (p > 7 || s > 7) return -1;
  std::memcpy(out->prefix, prefix, p);
  std::memcpy(out->suffix, suffix, s);
  out->serial = serial;
  return 0;
}

int RVP_BuildDidBlock(uint8_t out[20], const RVP_DidBlock& did) {
  size_t p = strnlen(did.prefix, sizeof(did.prefix)), s = strnlen(did.suffix, sizeof(did.suffix));
  if (p > 7 || s > 7) return -1;
  std::memset(out, 0, kDidBlockSize);
  std::memcpy(out, did.prefix, p);
  PutBe32(out + 8, did.serial);
  std::memcpy(out + 12, did.suffix, s);
  return 0;
}

void RVP_DidBlockRead(const uint8_t in[20], RVP_DidBlock* out) {
  std::memset(out, 0, sizeof(*out));
  std::memcpy(out->prefix, in, 8);
  out->serial = GetBe32(in + 8);
  std::memcpy(out->suffix, in + 12, 8);
}

bool RVP_DidEqual(const RVP_DidBlock& a, const RVP_DidBlock& b) {
  return a.serial == b.serial && std::memcmp(a.prefix, b.prefix, 8) == 0 && std::memcmp(a.suffix, b.suffix, 8) == 0;
}

int RVP_DidText(const RVP_DidBlock& did, char* out, size_t cap) {
  if (!out || cap == 0) return -1;
  int n = std::snprintf(out, cap, "%.8s-%06d-%.8s", did.prefix, static_cast<int>(did.serial), did.suffix);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    out[0] = 0;
    return -1;
  }
  return n;
}

void RVP_DataHeadWrite(uint8_t out[4], uint8_t channel, uint16_t seq) {
  out[0] = kDataHeadMagic;
  out[1] = channel;
  PutBe16(out + 2, seq);
}

int RVP_DataHeadRead(const uint8_t in[4], uint8_t* channel, uint16_t* seq) {
  if (in[0] != kDataHeadMagic) return -1;
  *channel = in[1];
  *seq = GetBe16(in + 2);
  return 0;
}

void RVP_BuildRlyPunchHead(uint8_t out[40], uint8_t kind, uint16_t len, const uint8_t token[16],
                           const uint8_t did_block[20]) {
  out[0] = kRlyPunchMagic;
  out[1] = kind;
  PutBe16(out + 2, len);
  std::memcpy(out + 4, token, 16);
  std::memcpy(out + 20, did_block, kDidBlockSize);
}

int RVP_RlyPunchHeadRead(const uint8_t in[40], uint8_t* kind, uint16_t* len, uint8_t token[16], RVP_DidBlock* did) {
  if (in[0] != kRlyPunchMagic) return -1;
  *kind = in[1];
  *len = GetBe16(in + 2);
  std::memcpy(token, in + 4, 16);
  RVP_DidBlockRead(in + 20, did);
  return 0;
}

void RVP_BuildBridgeHead(uint8_t out[64], uint8_t kind, uint16_t len, const char* peer, const uint8_t did_block[20]) {
  std::memset(out, 0, kBridgeHeadSize);
  out[0] = kDataHeadMagic;
  out[1] = kind;
  PutBe16(out + 2, len);
  if (peer) std::memcpy(out + 4, peer, strnlen(peer, kBridgePeerField - 1));
  std::memcpy(out + 44, did_block, kDidBlockSize);
}

void RVP_BridgeHeadRead(const uint8_t in[64], uint8_t* kind, uint16_t* len, char peer[41], RVP_DidBlock* did) {
  *kind = in[1];
  *len = GetBe16(in + 2);
  std::memcpy(peer, in + 4, kBridgePeerField);
  peer[kBridgePeerField] = 0;
  RVP_DidBlockRead(in + 44, did);
}
