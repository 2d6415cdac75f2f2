// Inside the device link: the session record, its AV slots and pending
// requests, and the transport list.
//
// Who touches what: transport, ops and conn_type are set before the command
// thread starts and never change. last_recv_error, talk_* and run flags are
// atomics. The pending list is under pending_mu; each slot's subscriber list
// under the slot's mu. The event callback, packet hook and user value are set
// and called under cb_mu: once KivoP2pSetEventCallback returns, the ones it
// replaced are no longer running. A slot's thread handle belongs to the thread
// that starts or joins it (the facade's caller thread).
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "sdk/device/kivo_p2p.h"

struct AvSubscriber {
  int channel;  // -1: every channel
  AvFrameCallback callback;
  void* user;
};

struct AvSlot {
  std::thread thread;
  std::atomic<bool> run{false};
  int av_index = 0;  // also the transport channel read
  KivoSession* session = nullptr;
  std::mutex mu;
  std::list<AvSubscriber> subscribers;
};

struct PendingRequest {
  uint32_t command = 0;
  int device_error = 0;
  void* reply = nullptr;
  int capacity = 0;
  int reply_length = 0;
  ReplyHandler handler = nullptr;
  void* handler_value = nullptr;
  platform::Event event{false};
  bool signal = true;
};

inline constexpr int kAvSlots = 6;

struct KivoSession {
  TransportHandle transport = 0;
  const TransportOps* ops = nullptr;
  int conn_type = 0;
  std::atomic<int> last_recv_error{0};
  std::atomic<int> talk_count{0};
  std::atomic<int> talk_drop{0};  // 0 sending, 1 dropping while the buffer is full, 2 link dead
  AvSlot slots[kAvSlots];         // avIndex 1..6
  std::atomic<bool> cmd_run{false};
  std::thread cmd_thread;
  std::list<PendingRequest*> pending;  // newest at the tail
  std::mutex pending_mu;
  std::recursive_mutex cb_mu;  // recursive: a callback may replace itself
  KivoEventCallback event_cb = nullptr;
  KivoPacketHook packet_hook = nullptr;
  void* user = nullptr;
};

namespace kivo {

AvSlot* Slot(KivoSession* s, int av_index);
// Reads exactly n bytes from a channel in 500 ms steps: 1, 0 when run was cleared first, or an error.
int RecvN(KivoSession* s, int channel, uint8_t* dst, int n, const std::atomic<bool>* run);
// Handles one packet the command thread read (header and payload).
void DispatchCmdPacket(KivoSession* s, const uint8_t* packet, int length);
// Creates a session over an open transport connection, starting its command thread.
KivoSession* NewSession(TransportHandle h, const TransportOps* ops, int conn_type);
// Replaces the transport list (tests); null restores the built-in one.
void SetTransportList(const TransportOps* const* list, int count);

// Collects a record list from its reply packets (a ReplyHandler's value).
struct RecordCollect {
  RecordEntry* entries = nullptr;  // malloc'ed
  int total = 0;
  int count = 0;
  bool started = false;
  int error = 0;
};
int RecordListHandler(const uint8_t* payload, int length, void* value);

// A growing buffer for packet readers.
struct GrowBuf {
  std::vector<uint8_t> bytes;
};
// Reads a payload of `need` bytes into the buffer after `offset` bytes: 1, 0 when run was cleared first, or
// an error. The buffer grows as the bytes really arrive, to at most offset + need + slack: a length a
// header merely claims costs no memory.
int RecvPayload(KivoSession* s, int channel, GrowBuf* buf, size_t offset, size_t need, size_t slack,
                const std::atomic<bool>* run);
// KivoRawReadCmdPkt / KivoRawRecvFramePkt.
int ReadCmdPkt(KivoSession* s, GrowBuf* buf, int timeout_ms, const std::atomic<bool>* run);
int RecvFramePkt(KivoSession* s, int channel, GrowBuf* buf, int timeout_ms, const std::atomic<bool>* run);
void SlotThread(AvSlot* slot);

}  // namespace kivo

// The exported names of the packet readers.
int KivoRawReadCmdPkt(KivoSession* s, kivo::GrowBuf* buf, int timeout_ms, const std::atomic<bool>* run);
int KivoRawRecvFramePkt(KivoSession* s, int channel, kivo::GrowBuf* buf, int timeout_ms,
                        const std::atomic<bool>* run);
int KivoRawRecvN(KivoSession* s, int channel, uint8_t* dst, int n, const std::atomic<bool>* run);
