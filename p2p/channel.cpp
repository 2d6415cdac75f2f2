#include "p2p/channel.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

using namespace p2p;

namespace {

std::atomic<long> g_alloc_limit{-1};

bool AllocAllowed() {
  long n = g_alloc_limit.load(std::memory_order_relaxed);
  while (n >= 0) {
    if (n == 0) return false;
    if (g_alloc_limit.compare_exchange_weak(n, n - 1)) return true;
  }
  return true;
}

int32_t Dist(const RVP_PacketQueue* q, uint32_t a, uint32_t c) { return RVP_SeqDistance(a, q->modulus, c); }

void Unlink(RVP_PacketQueue* q, RVP_Packet* p) {
  if (p->prev)
    p->prev->next = p->next;
  else
    q->head = p->next;
  if (p->next)
    p->next->prev = p->prev;
  else
    q->tail = p->prev;
  p->next = p->prev = nullptr;
  --q->count;
  q->bytes -= p->size;
}

// Links p in before `at` (null: at the tail).
void LinkBefore(RVP_PacketQueue* q, RVP_Packet* p, RVP_Packet* at) {
  p->next = at;
  p->prev = at ? at->prev : q->tail;
  if (p->prev)
    p->prev->next = p;
  else
    q->head = p;
  if (at)
    at->prev = p;
  else
    q->tail = p;
}

}  // namespace

int32_t RVP_SeqDistance(uint32_t a, uint32_t m, uint32_t c) {
  if (c < a) {
    uint32_t d = a - c;
    return d > m / 2 ? static_cast<int32_t>(d) - static_cast<int32_t>(m) : static_cast<int32_t>(d);
  }
  uint32_t d = c - a;
  return d > m / 2 ? static_cast<int32_t>(m) - static_cast<int32_t>(d) : -static_cast<int32_t>(d);
}

int RVP_SeqCmp16(uint16_t a, uint16_t b) {
  int32_t d = RVP_SeqDistance(a, kSeqModulus, b);
  return d < 0 ? -1 : d > 0 ? 1 : 0;
}

uint16_t RVP_SeqGap16(uint16_t a, uint16_t b) {
  if (a == b) return 0;
  uint32_t d = a > b ? static_cast<uint32_t>(a - b) : static_cast<uint32_t>(b - a);
  return static_cast<uint16_t>(d < 0x8000 ? d : kSeqModulus - d);
}

RVP_Packet* RVP_PacketNew(uint32_t size, uint32_t seq) {
  if (!AllocAllowed()) return nullptr;
  auto* p = static_cast<RVP_Packet*>(std::calloc(1, sizeof(RVP_Packet) + size));
  if (!p) return nullptr;
  p->seq = seq;
  p->size = size;
  p->data = reinterpret_cast<uint8_t*>(p + 1);
  return p;
}

void RVP_PacketFree(RVP_Packet* p) { std::free(p); }

void RVP_TestPacketAllocLimit(long n) { g_alloc_limit.store(n); }

void RVP_QueueInit(RVP_PacketQueue* q) {
  q->head = q->tail = nullptr;
  q->count = q->bytes = 0;
  q->modulus = kSeqModulus;
}

void RVP_QueueFreeAll(RVP_PacketQueue* q) {
  for (RVP_Packet* p = q->head; p;) {
    RVP_Packet* next = p->next;
    RVP_PacketFree(p);
    p = next;
  }
  RVP_QueueInit(q);
}

int RVP_QueueInsert(RVP_Packet* p, RVP_PacketQueue* q) {
  p->next = p->prev = nullptr;
  if (!q->head) {
    q->head = q->tail = p;
  } else {
    const int32_t third = static_cast<int32_t>(q->modulus / 3);
    int32_t dh = Dist(q, p->seq, q->head->seq), dt = Dist(q, p->seq, q->tail->seq);
    if (dh > third || dt < -third) {
      RVP_PacketFree(p);
      return -1;
    }
    if (dh == 0 || dt == 0) {
      RVP_PacketFree(p);
      return 0;
    }
    if (dh < 0) {
      LinkBefore(q, p, q->head);
    } else if (dt > 0) {
      LinkBefore(q, p, nullptr);
    } else if (dh + dt > 0) {
      // Nearer the tail: walk back to the first smaller sequence.
      RVP_Packet* at = q->tail;
      for (; at; at = at->prev) {
        int32_t d = Dist(q, p->seq, at->seq);
        if (d == 0) {
          RVP_PacketFree(p);
          return 0;
        }
        if (d > 0) break;
      }
      LinkBefore(q, p, at ? at->next : q->head);
    } else {
      RVP_Packet* at = q->head;
      for (; at; at = at->next) {
        int32_t d = Dist(q, p->seq, at->seq);
        if (d == 0) {
          RVP_PacketFree(p);
          return 0;
        }
        if (d < 0) break;
      }
      LinkBefore(q, p, at);
    }
  }
  ++q->count;
  q->bytes += p->size;
  return 1;
}

RVP_Packet* RVP_QueueFind(const RVP_PacketQueue* q, uint32_t seq) {
  if (!q->head) return nullptr;
  int32_t dh = Dist(q, seq, q->head->seq), dt = Dist(q, seq, q->tail->seq);
  if (dh < 0 || dt > 0) return nullptr;
  if (dh + dt > 0) {
    for (RVP_Packet* p = q->tail; p; p = p->prev) {
      int32_t d = Dist(q, seq, p->seq);
      if (d == 0) return p;
      if (d > 0) return nullptr;
    }
  } else {
    for (RVP_Packet* p = q->head; p; p = p->next) {
      int32_t d = Dist(q, seq, p->seq);
      if (d == 0) return p;
      if (d < 0) return nullptr;
    }
  }
  return nullptr;
}

RVP_Packet* RVP_QueueRemove(RVP_PacketQueue* q, uint32_t seq) {
  RVP_Packet* p = RVP_QueueFind(q, seq);
  if (p) Unlink(q, p);
  return p;
}

RVP_Packet* RVP_QueuePop(RVP_PacketQueue* q) {
  RVP_Packet* p = q->head;
  if (p) Unlink(q, p);
  return p;
}

void RVP_QueueAppend(RVP_PacketQueue* q, RVP_Packet* p) {
  LinkBefore(q, p, nullptr);
  ++q->count;
  q->bytes += p->size;
}

namespace p2p {

void ChannelReset(Channel* c) {
  for (RVP_PacketQueue* q : {&c->write_q, &c->send_q, &c->resend_q, &c->recv_q, &c->unrel_q})
    RVP_QueueFreeAll(q);
  c->next_write_seq = c->next_read_seq = 0;
  c->window_fill = c->read_pos = c->read_len = 0;
  c->ack_count = 0;
  c->allowance = 0;
  c->stall_time = 0;
  c->next_unrel_recv = c->next_unrel_send = 0;
}

}  // namespace p2p
