#include "p2p/msg_io.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "p2p/bytes.h"
#include "p2p/cipher.h"

using namespace p2p;

int RVP_RecvMsg(const char* key, sockaddr_in* from, int sock, unsigned timeout_ms, uint8_t* type,
                uint16_t* payload_len, uint8_t* payload, int cap) {
  uint8_t buf[kMaxDatagram];
  int n = RVP_UdpRecv(sock, buf, key, kMaxDatagram, from, timeout_ms);
  if (n == 0) return -1;
  if (n < 0) return -2;
  if (buf[0] != kMsgMagic) return -3;
  if (n < kMsgHeaderSize) return -4;
  uint16_t plen = GetBe16(buf + 2);
  if (plen + kMsgHeaderSize != n) return -4;
  *type = buf[1];
  *payload_len = plen;
  int copy = plen;
  int result = 0;
  if (cap < 0) cap = 0;
  if (copy > cap) {
    copy = cap;
    result = -5;
  }
  if (copy) std::memcpy(payload, buf + kMsgHeaderSize, static_cast<size_t>(copy));
  return result;
}

int RVP_SendMsg(const char* key, int sock, const sockaddr_in& to, const RVP_Msg& m, const char* login_key) {
  uint8_t buf[kMaxDatagram];
  int n = RVP_MsgBuild(m, buf, sizeof(buf), login_key);
  if (n < 0) return n;
  return RVP_UdpSend(key, to, buf, n, sock);
}

void RVP_TcpFrameHeadWrite(uint8_t out[8], const RVP_TcpFrameHead& h) {
  PutBe16(out, h.len);
  out[2] = kTcpFrameMark;
  out[3] = 0;
  out[4] = h.k0;
  out[5] = h.k1;
  out[6] = h.cs[0];
  out[7] = h.cs[1];
}

int RVP_TcpFrameHeadRead(const uint8_t in[8], RVP_TcpFrameHead* h) {
  if (in[2] != kTcpFrameMark) return -1;
  h->len = GetBe16(in);
  h->k0 = in[4];
  h->k1 = in[5];
  h->cs[0] = in[6];
  h->cs[1] = in[7];
  return h->len > kTcpFrameBodyMax ? -2 : 0;
}

int RVP_TcpFrameEncode(const char* key, const uint8_t* msg, int len, uint8_t k0, uint8_t k1, uint8_t* out, int cap) {
  if (len < 0 || len > kTcpFrameBodyMax || cap < kTcpFrameHeadSize + len) return -1;
  uint8_t* body = out + kTcpFrameHeadSize;
  RVP_Scramble(key, msg, body, static_cast<uint16_t>(len));
  RVP_ScramblePktKey(k0, k1, body, body, static_cast<uint16_t>(len));
  RVP_TcpFrameHead h{static_cast<uint16_t>(len), k0, k1, {0, 0}};
  RVP_Checksum(h.cs, body, static_cast<size_t>(len));
  RVP_TcpFrameHeadWrite(out, h);
  return kTcpFrameHeadSize + len;
}

int RVP_TcpFrameSimpleEncode(const char* key, const uint8_t* msg, int len, uint8_t* out, int cap) {
  if (len < 0 || len > kTcpFrameBodyMax || cap < kTcpFrameHeadSize + len) return -1;
  RVP_Scramble(key, msg, out + kTcpFrameHeadSize, static_cast<uint16_t>(len));
  RVP_TcpFrameHeadWrite(out, RVP_TcpFrameHead{static_cast<uint16_t>(len), 0, 0, {0, 0}});
  return kTcpFrameHeadSize + len;
}

int RVP_TcpFrameDecode(const char* key, const RVP_TcpFrameHead& h, const uint8_t* body, uint8_t* out) {
  uint8_t cs[2];
  RVP_Checksum(cs, body, h.len);
  if (cs[0] != h.cs[0] || cs[1] != h.cs[1]) return -1;
  RVP_UnscramblePktKey(h.k0, h.k1, out, body, h.len);
  RVP_Unscramble(key, out, out, h.len);
  return h.len;
}

int RVP_TcpFrameTake(const char* key, bool simple, const uint8_t* buf, size_t len, uint8_t* out, int cap,
                     size_t* consumed) {
  *consumed = 0;
  if (len < static_cast<size_t>(kTcpFrameHeadSize)) return -3;
  RVP_TcpFrameHead h;
  int r = RVP_TcpFrameHeadRead(buf, &h);
  if (r < 0) return r;
  if (len < static_cast<size_t>(kTcpFrameHeadSize) + h.len) return -3;
  if (h.len > cap) return -5;
  const uint8_t* body = buf + kTcpFrameHeadSize;
  if (simple) {
    RVP_Unscramble(key, body, out, h.len);
  } else if (RVP_TcpFrameDecode(key, h, body, out) < 0) {
    return -4;
  }
  *consumed = kTcpFrameHeadSize + h.len;
  return h.len;
}

namespace {

int SendFrame(const uint8_t* frame, int n, int sock, unsigned timeout_ms, const RVP_BreakFlag* brk) {
  if (timeout_ms > 0) return RVP_TcpSendAll(sock, frame, n, timeout_ms, brk);
  ssize_t s = send(sock, frame, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
  return s == n ? 0 : -1;
}

}  // namespace

int RVP_TcpSendFrame(const char* key, int msg_len, int sock, const uint8_t* msg, unsigned timeout_ms,
                     const RVP_BreakFlag* brk) {
  uint8_t frame[kTcpFrameHeadSize + kTcpFrameBodyMax];
  int n = RVP_TcpFrameEncode(key, msg, msg_len, static_cast<uint8_t>(std::rand() & 0xFF),
                             static_cast<uint8_t>(std::rand() & 0xFF), frame, sizeof(frame));
  if (n < 0) return -1;
  return SendFrame(frame, n, sock, timeout_ms, brk);
}

int RVP_TcpSendFrameSimple(const char* key, int msg_len, int sock, const uint8_t* msg, unsigned timeout_ms,
                           const RVP_BreakFlag* brk) {
  uint8_t frame[kTcpFrameHeadSize + kTcpFrameBodyMax];
  int n = RVP_TcpFrameSimpleEncode(key, msg, msg_len, frame, sizeof(frame));
  if (n < 0) return -1;
  return SendFrame(frame, n, sock, timeout_ms, brk);
}

int RVP_TcpRelayReqWrite(uint8_t out[28], const RVP_DidBlock& did, uint32_t ticket, uint8_t role) {
  std::memset(out, 0, kTcpRelayReqSize);
  if (RVP_BuildDidBlock(out, did) != 0) return -1;
  PutBe32(out + 20, ticket);
  out[24] = role;
  return 0;
}

void RVP_TcpRelayReqRead(const uint8_t in[28], RVP_DidBlock* did, uint32_t* ticket, uint8_t* role) {
  RVP_DidBlockRead(in, did);
  *ticket = GetBe32(in + 20);
  *role = in[24];
}

void RVP_TcpRelayAnsWrite(uint8_t out[48], const RVP_Address24& client, const RVP_Address24& device) {
  RVP_Addr24ToWire(client, out);
  RVP_Addr24ToWire(device, out + 24);
}

void RVP_TcpRelayAnsRead(const uint8_t in[48], RVP_Address24* client, RVP_Address24* device) {
  RVP_Addr24FromWire(in, client);
  RVP_Addr24FromWire(in + 24, device);
}
