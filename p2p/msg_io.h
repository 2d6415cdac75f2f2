// Messages on sockets: receive-and-check of datagrams, sending records, and
// the TCP frame that carries messages on TCP links and relays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "p2p/msg.h"
#include "p2p/sock.h"

namespace p2p {
inline constexpr int kTcpFrameHeadSize = 8;
inline constexpr int kTcpFrameBodyMax = 1280;
inline constexpr uint8_t kTcpFrameMark = 'h';
inline constexpr int kTcpRelayReqSize = 28;
inline constexpr int kTcpRelayAnsSize = 48;
}  // namespace p2p

// Receives one datagram and checks it: 0 a message (type, payload length and
// payload set); -1 time-out; -2 socket error; -3 first byte not 0xF1; -4
// datagram length not payload length + 4 (also any datagram shorter than a
// header); -5 payload longer than cap (type and length set, the first cap
// bytes copied). Nothing is copied on -3 and -4.
int RVP_RecvMsg(const char* key, sockaddr_in* from, int sock, unsigned timeout_ms, uint8_t* type,
                uint16_t* payload_len, uint8_t* payload, int cap);

// Builds the record and sends it scrambled with the packet key. Returns
// sendto's result, or an RVP_MsgError when the record does not build.
int RVP_SendMsg(const char* key, int sock, const sockaddr_in& to, const RVP_Msg& m, const char* login_key = nullptr);

struct RVP_TcpFrameHead {
  uint16_t len;  // body length
  uint8_t k0, k1;
  uint8_t cs[2];
};
void RVP_TcpFrameHeadWrite(uint8_t out[8], const RVP_TcpFrameHead& h);
// -1 when byte 2 is not 'h', -2 when the body length is above 1280.
int RVP_TcpFrameHeadRead(const uint8_t in[8], RVP_TcpFrameHead* h);
// A whole frame for the message (at most 1280 bytes): the body scrambled with
// the packet key and then with the per-packet key of k0, k1; the checksum over
// the final body. Returns the frame length, or -1 when the message is too long
// or cap too small.
int RVP_TcpFrameEncode(const char* key, const uint8_t* msg, int len, uint8_t k0, uint8_t k1, uint8_t* out, int cap);
// The simple framing of a direct link: zero key and checksum bytes, the body
// scrambled with the packet key only.
int RVP_TcpFrameSimpleEncode(const char* key, const uint8_t* msg, int len, uint8_t* out, int cap);
// Checks the body's checksum and undoes both scramblings into out (h.len
// bytes); -1 on a checksum mismatch, else the length.
int RVP_TcpFrameDecode(const char* key, const RVP_TcpFrameHead& h, const uint8_t* body, uint8_t* out);
// Takes one frame from the start of buf: the message length, with *consumed
// set; -1 bad head mark, -2 body too long, -3 incomplete, -4 checksum
// mismatch, -5 message longer than cap.
int RVP_TcpFrameTake(const char* key, bool simple, const uint8_t* buf, size_t len, uint8_t* out, int cap,
                     size_t* consumed);

// One frame of the message on a TCP socket; with timeout_ms above 0 through
// RVP_TcpSendAll, else one send (0 when every byte went, -1 otherwise).
int RVP_TcpSendFrame(const char* key, int msg_len, int sock, const uint8_t* msg, unsigned timeout_ms,
                     const RVP_BreakFlag* brk);
int RVP_TcpSendFrameSimple(const char* key, int msg_len, int sock, const uint8_t* msg, unsigned timeout_ms,
                           const RVP_BreakFlag* brk);

// The TCP relay handshake (neither framed nor scrambled).
int RVP_TcpRelayReqWrite(uint8_t out[28], const RVP_DidBlock& did, uint32_t ticket, uint8_t role);
void RVP_TcpRelayReqRead(const uint8_t in[28], RVP_DidBlock* did, uint32_t* ticket, uint8_t* role);
void RVP_TcpRelayAnsWrite(uint8_t out[48], const RVP_Address24& client, const RVP_Address24& device);
void RVP_TcpRelayAnsRead(const uint8_t in[48], RVP_Address24* client, RVP_Address24* device);
