// The reliability engine's pieces: sequence arithmetic on the 16-bit circle,
// numbered packets, queues kept sorted by sequence number, and the state of
// one of a session's eight channels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "p2p/msg.h"

namespace p2p {
inline constexpr uint32_t kSeqModulus = 0x10000;
// Entries of a channel's acknowledgement list; a MsgAck holds fewer.
inline constexpr int kAckList = 82;
// Acknowledgements held before they go at once.
inline constexpr int kAckSendAt = 16;
// Packets of a channel in its send and resend queues together.
inline constexpr uint32_t kMaxInFlight = 128;
inline constexpr uint16_t kMaxAllowance = 110;
inline constexpr uint16_t kWindowSlack = 10;
// Bytes a receive queue holds before packets after the next one are dropped
// (UDP), or before the session's socket is no longer read (TCP).
inline constexpr uint32_t kRecvQueueLimit = 0x20000;
// Unreliable packets held per channel.
inline constexpr uint32_t kUnreliableLimit = 32;
// First-send ticks of a packet.
inline constexpr uint32_t kNeverSent = 0;
inline constexpr uint32_t kNoRttSample = 0xFFFFFFFFu;
}  // namespace p2p

// a - c folded into -m/2..m/2.
int32_t RVP_SeqDistance(uint32_t a, uint32_t m, uint32_t c);
// Sign of the distance of a and b on the 16-bit circle: -1, 0 or 1.
int RVP_SeqCmp16(uint16_t a, uint16_t b);
// 0 when equal, else the shorter way round the 16-bit circle.
uint16_t RVP_SeqGap16(uint16_t a, uint16_t b);

// A numbered packet; its data follows it in the same block.
struct RVP_Packet {
  uint32_t seq;
  uint32_t size;
  uint8_t* data;
  uint32_t first_send;  // p2p::kNeverSent, a tick, or p2p::kNoRttSample
  RVP_Packet* next;
  RVP_Packet* prev;
};

// Packets sorted by sequence number in the circular order of the modulus.
struct RVP_PacketQueue {
  RVP_Packet* head;
  RVP_Packet* tail;
  uint32_t count;
  uint32_t bytes;
  uint32_t modulus;
};

// A packet with a zeroed data buffer of size bytes; null when memory runs out.
RVP_Packet* RVP_PacketNew(uint32_t size, uint32_t seq);
void RVP_PacketFree(RVP_Packet* p);
void RVP_QueueInit(RVP_PacketQueue* q);
void RVP_QueueFreeAll(RVP_PacketQueue* q);
// Links the packet in at its place: 1 inserted; 0 a duplicate (freed); -1 too
// far from the queue's ends (more than a third of the modulus; freed).
int RVP_QueueInsert(RVP_Packet* p, RVP_PacketQueue* q);
RVP_Packet* RVP_QueueFind(const RVP_PacketQueue* q, uint32_t seq);
// Unlinks the packet with the sequence number and returns it; null when absent.
RVP_Packet* RVP_QueueRemove(RVP_PacketQueue* q, uint32_t seq);
// Unlinks and returns the head; null when empty.
RVP_Packet* RVP_QueuePop(RVP_PacketQueue* q);
// Appends at the tail without ordering (the caller keeps the order).
void RVP_QueueAppend(RVP_PacketQueue* q, RVP_Packet* p);

// Test hook: after n more packet allocations every one fails (-1: no limit).
void RVP_TestPacketAllocLimit(long n);

namespace p2p {

// One channel of a session. Every field is guarded by the global mutex.
struct Channel {
  RVP_PacketQueue write_q, send_q, resend_q, recv_q, unrel_q;
  uint16_t next_write_seq;
  uint16_t next_read_seq;
  uint8_t window[kDataMax];  // written bytes not yet a packet
  uint8_t read_buf[kDataMax];
  uint16_t window_fill;
  uint16_t read_pos, read_len;
  uint16_t acks[kAckList];
  uint16_t ack_count;
  uint16_t allowance;  // 0..110
  int64_t stall_time;  // seconds since 1970; 0 none
  uint16_t next_unrel_recv;
  uint16_t next_unrel_send;
};

// Empties the five queues (freeing their packets) and clears the channel.
void ChannelReset(Channel* c);

}  // namespace p2p
