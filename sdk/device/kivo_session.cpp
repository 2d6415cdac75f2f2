// Device-link sessions: the transport list, connecting, the command receiver
// thread with pending-request matching, and the command catalogue.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/byte_order.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "sdk/device/kivo_session.h"
#include "sdk/device/kivo_wire.h"
#include "sdk/device/rvs_transport.h"
#include "util/log.h"
#include "sdk/webrtc/ov_transport.h"

namespace {

// Searched in this order.
const TransportOps* const kBuiltinTransports[] = {&kOvwebrtc2Transport, &kOvwebrtcTransport, &kRvsTransport};
constexpr int kBuiltinCount = 3;
std::atomic<const TransportOps* const*> g_list{kBuiltinTransports};
std::atomic<int> g_list_count{kBuiltinCount};
std::atomic<bool> g_inited{false};

constexpr int kCmdBufStart = 2056;
constexpr int kStepMs = 500;
constexpr int kReplyWaitMs = 8000;

struct ErrorText {
  int code;
  const char* text;
};
const ErrorText kErrorTexts[] = {
    {0, "OK"},
    {-10001, "Failed"},
    {-10002, "Authentication failed"},
    {-10003, "Unsupported operation"},
    {-10004, "Connection already closed"},
    {-10005, "Timeout"},
    {-10006, "Invalid p2p id"},
    {-10007, "Invalid parameter"},
    {-10008, "Device is offline"},
    {-10009, "Cann't resolv host"},
    {-10010, "Problem on server side"},
    {-10011, "Session closed for timeout"},
    {-10012, "Wrong response format"},
    {-10013, "Error in communication"},
    {-10014, "Reach the max connections"},
    {-10016, "Lack of resource"},
    {-10017, "Failed"},
    {-10018, "Invalid handle"},
    {-10020, "No P2p ConnTok"},
    {-10100, "operation is processing in device"},
    {-10101, "Invalid command header"},
    {-10102, "Unsupported command"},
    {-10103, "Inalid command parameter"},
    {-10104, "Lack of resource in device"},
    {-10105, "Internal error in device"},
    {-10106, "Not allowed in device"},
};

void CallPacketHook(KivoSession* s, const uint8_t* packet, int length_or_error) {
  std::lock_guard<std::recursive_mutex> g(s->cb_mu);
  if (s->packet_hook) s->packet_hook(packet, length_or_error, s, s->user);
}

void KivoP2pCmdThread(KivoSession* s) {
  platform::SetCurrentThreadName("KivoP2pCmdThread");
  kivo::GrowBuf buf;
  while (s->cmd_run.load()) {
    const int r = kivo::ReadCmdPkt(s, &buf, kStepMs, &s->cmd_run);
    if (r == KIVO_ERR_TIMEOUT) continue;
    if (r < 0) {
      CallPacketHook(s, nullptr, r);
      break;
    }
    kivo::DispatchCmdPacket(s, buf.bytes.data(), r);
  }
}

int SendPacket(KivoSession* s, uint32_t command, const void* payload, int length) {
  if (length < 0 || (length > 0 && !payload) || static_cast<uint32_t>(length) > kivo::kMaxPayload)
    return KIVO_ERR_INVALID_PARAM;
  std::vector<uint8_t> pkt(static_cast<size_t>(kivo::kCmdHeaderSize + length));
  kivo::PutCmdHeader(pkt.data(), command, static_cast<uint32_t>(length));
  if (length) std::memcpy(pkt.data() + kivo::kCmdHeaderSize, payload, static_cast<size_t>(length));
  return s->ops->send(s->transport, 0, pkt.data(), static_cast<int>(pkt.size()));
}

// Builds a command's payload from its layout and sends it.
int SendFields(KivoSession* s, uint32_t command, const kivo::CmdFields& f, void* reply, int capacity,
               ReplyHandler handler, void* value, int timeout_ms) {
  uint8_t payload[64];
  const int n = kivo::BuildPayload(command, f, payload, sizeof(payload));
  if (n < 0) return n;
  return KivoP2pSendCommand(s, command, payload, n, reply, capacity, handler, value, timeout_ms);
}

kivo::CmdFields Words(uint32_t a, uint32_t b) {
  kivo::CmdFields f;
  f.word[0] = a;
  f.word[1] = b;
  return f;
}

}  // namespace

namespace kivo {

int RecordListHandler(const uint8_t* payload, int length, void* value) {
  auto* c = static_cast<RecordCollect*>(value);
  kivo::RecordListPacket pkt;
  if (int r = kivo::ParseRecordListPacket(payload, length, &pkt); r < 0) {
    c->error = r;
    return 0;
  }
  if (!c->started) {
    c->started = true;
    // The announced total sizes the list; a total past the payload cap is refused.
    if (pkt.total > kivo::kMaxPayload / kivo::kRecordEntrySize) {
      c->error = KIVO_ERR_FORMAT;
      return 0;
    }
    c->total = static_cast<int>(pkt.total);
    if (c->total > 0) c->entries = static_cast<RecordEntry*>(std::calloc(static_cast<size_t>(c->total), sizeof(RecordEntry)));
    if (c->total > 0 && !c->entries) {
      c->error = KIVO_ERR_RESOURCE;
      return 0;
    }
  }
  for (int i = 0; i < pkt.count && c->count < c->total; ++i)
    c->entries[c->count++] = kivo::GetRecordEntry(pkt.entries + i * kivo::kRecordEntrySize);
  return pkt.last ? 0 : 1;
}

void SetTransportList(const TransportOps* const* list, int count) {
  if (!list) {
    list = kBuiltinTransports;
    count = kBuiltinCount;
  }
  g_list_count.store(count);
  g_list.store(list);
}

AvSlot* Slot(KivoSession* s, int av_index) {
  if (!s || av_index < 1 || av_index > kAvSlots) return nullptr;
  return &s->slots[av_index - 1];
}

int RecvN(KivoSession* s, int channel, uint8_t* dst, int n, const std::atomic<bool>* run) {
  int got = 0;
  // A cleared run flag ends the read only once the peer has gone quiet for a step: while bytes keep
  // coming the packet is read to its end, so the next reader of the channel starts on a packet boundary.
  while (got < n) {
    const int r = s->ops->recv(s->transport, channel, dst + got, n - got, kStepMs);
    if (r == KIVO_ERR_TIMEOUT) {
      if (run && !run->load()) return 0;
      continue;
    }
    if (r < 0) return r;
    if (r > n - got) return KIVO_ERR_COMMUNICATION;  // a transport that claims more than it was asked
    got += r;
  }
  return 1;
}

int RecvPayload(KivoSession* s, int channel, GrowBuf* buf, size_t offset, size_t need, size_t slack,
                const std::atomic<bool>* run) {
  std::vector<uint8_t>& b = buf->bytes;
  size_t got = 0;
  while (got < need) {
    if (b.size() <= offset + got)
      b.resize(std::min(offset + need + slack, std::max(b.size() * 2, offset + got + 1)));
    const size_t n = std::min(need - got, b.size() - offset - got);
    const int r = RecvN(s, channel, b.data() + offset + got, static_cast<int>(n), run);
    if (r <= 0) return r;
    got += n;
  }
  return 1;
}

int ReadCmdPkt(KivoSession* s, GrowBuf* buf, int timeout_ms, const std::atomic<bool>* run) {
  if (buf->bytes.size() < static_cast<size_t>(kCmdBufStart)) buf->bytes.resize(kCmdBufStart);
  uint8_t* p = buf->bytes.data();
  int got = 0;
  while (got < kCmdHeaderSize) {
    const int r = s->ops->recv(s->transport, 0, p + got, kCmdHeaderSize - got, got ? kStepMs : timeout_ms);
    if (r == KIVO_ERR_TIMEOUT) {
      if (!got || (run && !run->load())) return KIVO_ERR_TIMEOUT;
      continue;
    }
    if (r < 0 || r > kCmdHeaderSize - got) {
      const int e = r < 0 ? r : KIVO_ERR_COMMUNICATION;
      s->last_recv_error.store(e);
      LogPrintf(kLogError, nullptr, "KivoRawReadCmdPkt", "KivoRawRecvN: %d\n", e);
      return e;
    }
    got += r;
  }
  const CmdHeader h = GetCmdHeader(p);
  if (h.length > kMaxPayload) {
    s->last_recv_error.store(KIVO_ERR_FORMAT);
    LogPrintf(kLogError, nullptr, "KivoRawReadCmdPkt", "payload length %u past the cap\n", h.length);
    return KIVO_ERR_FORMAT;
  }
  const size_t need = h.length;
  if (need) {
    const int r = RecvPayload(s, 0, buf, kCmdHeaderSize, need, kCmdBufStart, run);
    if (r == 0) return KIVO_ERR_TIMEOUT;
    if (r < 0) {
      s->last_recv_error.store(r);
      LogPrintf(kLogError, nullptr, "KivoRawReadCmdPkt", "KivoRawRecvN2: %d\n", r);
      return r;
    }
  }
  return kCmdHeaderSize + static_cast<int>(need);
}

void DispatchCmdPacket(KivoSession* s, const uint8_t* packet, int length) {
  if (length < kCmdHeaderSize) return;
  const CmdHeader h = GetCmdHeader(packet);
  const uint8_t* payload = packet + kCmdHeaderSize;
  const int plen = length - kCmdHeaderSize;
  if (h.command == CMD_EVENT) {
    std::lock_guard<std::recursive_mutex> g(s->cb_mu);
    if (s->event_cb) s->event_cb(payload, plen, s, s->user);
  } else {
    uint32_t key = h.command;
    int device_error = 0;
    bool usable = true;
    if (h.command == CMD_ERROR_REPLY) {
      CmdFields f;
      // A short error reply names no request: dropped.
      if (ParsePayload(CMD_ERROR_REPLY, payload, plen, &f) != 0) {
        usable = false;
      } else {
        key = f.word[0];
        device_error = MapDeviceError(f.word[1]);
      }
    }
    std::lock_guard<std::mutex> g(s->pending_mu);
    for (auto it = s->pending.begin(); usable && it != s->pending.end(); ++it) {
      PendingRequest* q = *it;
      // A request already served waits only to be unlinked: it takes no other reply.
      if ((q->command | 1u) != (key | 1u) || !q->signal) continue;
      bool complete = true;
      if (h.command == CMD_ERROR_REPLY) {
        q->device_error = device_error;
      } else if (q->handler) {
        complete = q->handler(payload, plen, q->handler_value) <= 0;
      } else {
        if (q->reply && q->capacity > 0)
          std::memcpy(q->reply, payload, static_cast<size_t>(plen < q->capacity ? plen : q->capacity));
        q->reply_length = plen;
      }
      if (complete && q->signal) {
        q->signal = false;
        q->event.Set();
      }
      break;
    }
  }
  CallPacketHook(s, packet, length);
}

KivoSession* NewSession(TransportHandle h, const TransportOps* ops, int conn_type) {
  auto* s = new KivoSession;
  s->transport = h;
  s->ops = ops;
  s->conn_type = conn_type;
  for (int i = 0; i < kAvSlots; ++i) {
    s->slots[i].av_index = i + 1;
    s->slots[i].session = s;
  }
  s->cmd_run.store(true);
  s->cmd_thread = std::thread(KivoP2pCmdThread, s);
  return s;
}

}  // namespace kivo

int KivoRawReadCmdPkt(KivoSession* s, kivo::GrowBuf* buf, int timeout_ms, const std::atomic<bool>* run) {
  if (!s) return KIVO_ERR_NO_SESSION;
  return kivo::ReadCmdPkt(s, buf, timeout_ms, run);
}

int KivoRawRecvN(KivoSession* s, int channel, uint8_t* dst, int n, const std::atomic<bool>* run) {
  if (!s) return KIVO_ERR_NO_SESSION;
  return kivo::RecvN(s, channel, dst, n, run);
}

// --- Module ---

int KivoP2pInit() {
  bool was = false;
  if (!g_inited.compare_exchange_strong(was, true)) return 0;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const TransportOps* const* list = g_list.load();
  for (int i = 0; i < g_list_count.load(); ++i)
    if (list[i]->init) list[i]->init();
  return 0;
}

void KivoP2pDeinit() {
  const TransportOps* const* list = g_list.load();
  for (int i = 0; i < g_list_count.load(); ++i)
    if (list[i]->deinit) list[i]->deinit();
  g_inited.store(false);
}

const char* KivoP2pErrorName(int code) {
  for (const ErrorText& e : kErrorTexts)
    if (e.code == code) return e.text;
  return "Other error";
}

const char* KivoP2pGetErrorText(int code) { return KivoP2pErrorName(code); }

const char* KivoP2pConnTypeName(int type) {
  static const char* const kNames[] = {"", "Lan", "P2P", "Relay"};
  return type >= 0 && type <= 3 ? kNames[type] : "";
}

// --- Session ---

int _KivoP2pConnectRaw(const char* address, const char* peer_id, int flags, TransportHandle* out,
                       const TransportOps** table, int* conn_type) {
  if (!address) return KIVO_ERR_DEV_PARAM;
  const uint32_t start = platform::GetTickCount();
  const char* colon = std::strchr(address, ':');
  std::string prefix = "rvs";
  const char* rest = address;
  if (colon && colon - address <= 16) {
    prefix.assign(address, static_cast<size_t>(colon - address));
    rest = colon + 1;
  }
  const TransportOps* ops = nullptr;
  const TransportOps* const* list = g_list.load();
  for (int i = 0; i < g_list_count.load() && !ops; ++i)
    if (prefix == list[i]->name) ops = list[i];
  if (!ops) return KIVO_ERR_DEV_PARAM;
  TransportHandle h = 0;
  const int r = ops->connect(rest, peer_id ? peer_id : "", flags, &h);
  LogPrintf(kLogInfo, nullptr, "_KivoP2pConnectRaw", "connect to %s..., fConnFlags:0x%x, takes %d ms\n",
            peer_id ? peer_id : "", flags, static_cast<int>(platform::GetTickCount() - start));
  if (r != 0) return r;
  *out = h;
  *table = ops;
  *conn_type = KIVO_CONN_UNKNOWN;
  if (ops->session_info) {
    TransportSessionInfo info{};
    ops->session_info(h, &info);
    *conn_type = info.relay ? KIVO_CONN_RELAY : KIVO_CONN_P2P;
    LogPrintf(kLogInfo, nullptr, "_KivoP2pConnectRaw", "Connect type: %s\n", info.relay ? "Relay" : "P2P");
  }
  return 0;
}

int KivoP2pConnect2(const char* address, const char* peer_id, int flags, KivoSession** out) {
  if (!out) return KIVO_ERR_INVALID_PARAM;
  *out = nullptr;
  TransportHandle h = 0;
  const TransportOps* ops = nullptr;
  int type = 0;
  const int r = _KivoP2pConnectRaw(address, peer_id, flags, &h, &ops, &type);
  if (r != 0) return r;
  *out = kivo::NewSession(h, ops, type);
  return 0;
}

int KivoP2pClose(KivoSession* s) {
  if (!s) return 0;
  if (s->cmd_thread.joinable()) {
    KivoP2pStopVideo(s, 0);
    KivoP2pStopVideo(s, 1);
    KivoP2pStopAudio(s);
    KivoP2pStopPlayback(s);
    s->cmd_run.store(false);
    SendPacket(s, CMD_CLOSE_NOTICE, nullptr, 0);
    s->cmd_thread.join();
  }
  // No slot thread may outlive the session, whoever forgot to stop it.
  for (AvSlot& slot : s->slots) {
    slot.run.store(false);
    if (slot.thread.joinable()) slot.thread.join();
  }
  s->ops->close(s->transport);
  delete s;
  return 0;
}

int KivoP2pIsAlive(KivoSession* s) { return s && s->ops->alive(s->transport) ? 1 : 0; }

int KivoP2pSetEventCallback(KivoSession* s, KivoEventCallback event, KivoPacketHook hook, void* user) {
  if (!s) return KIVO_ERR_NO_SESSION;
  std::lock_guard<std::recursive_mutex> g(s->cb_mu);
  s->event_cb = event;
  s->packet_hook = hook;
  s->user = user;
  return 0;
}

int KivoP2pConnType(KivoSession* s) { return s ? s->conn_type : 0; }
const TransportOps* KivoP2pTransport(KivoSession* s) { return s ? s->ops : nullptr; }
TransportHandle KivoP2pTransportHandle(KivoSession* s) { return s ? s->transport : 0; }

// --- Packets and commands ---

int KivoRawSendCmdPkt(KivoSession* s, uint32_t command, const void* payload, int length) {
  if (!s) return KIVO_ERR_NO_SESSION;
  return SendPacket(s, command, payload, length);
}

int KivoP2pSendCmdNoWait(KivoSession* s, uint32_t command, const void* payload, int length) {
  return KivoRawSendCmdPkt(s, command, payload, length);
}

int KivoP2pSendCommand(KivoSession* s, uint32_t command, const void* payload, int length, void* reply,
                       int capacity, ReplyHandler handler, void* handler_value, int timeout_ms) {
  if (!s) return KIVO_ERR_NO_SESSION;
  if (timeout_ms == 0) return SendPacket(s, command, payload, length);
  auto* q = new PendingRequest;
  q->command = command;
  q->reply = reply;
  q->capacity = capacity;
  q->handler = handler;
  q->handler_value = handler_value;
  {
    std::lock_guard<std::mutex> g(s->pending_mu);
    s->pending.push_back(q);
  }
  // A send that failed will get no reply: its error is the result at once.
  const int sent = SendPacket(s, command, payload, length);
  const bool got = sent >= 0 && q->event.Wait(static_cast<uint32_t>(timeout_ms));
  {
    std::lock_guard<std::mutex> g(s->pending_mu);
    s->pending.remove(q);
  }
  int r;
  if (sent < 0)
    r = sent;
  else if (!got)
    r = KIVO_ERR_TIMEOUT;
  else if (q->device_error)
    r = q->device_error;
  else
    r = q->reply_length;
  delete q;
  return r;
}

int KivoP2pCommand(KivoSession* s, uint32_t command, const void* payload, int length, void* reply,
                   int capacity, int timeout_ms) {
  return KivoP2pSendCommand(s, command, payload, length, reply, capacity, nullptr, nullptr, timeout_ms);
}

int KivoP2pSetVideoQuality(KivoSession* s, int channel, int sub) {
  if (!s) return KIVO_ERR_NO_SESSION;
  return SendFields(s, CMD_STREAM_QUALITY, Words(static_cast<uint32_t>(channel), sub ? 5 : 1), nullptr, 0,
                    nullptr, nullptr, 0);
}

int KivoP2pStartTalk(KivoSession* s) {
  if (!s) return KIVO_ERR_NO_SESSION;
  uint8_t reply[8];
  const kivo::CmdFields f = Words(3, 0);
  const int r = SendFields(s, CMD_TALK_START, f, reply, sizeof(reply), nullptr, nullptr, kReplyWaitMs);
  if (r == KIVO_ERR_DEV_UNSUPPORTED) {
    SendFields(s, CMD_TALK_START_OLD, f, nullptr, 0, nullptr, nullptr, 0);
    return 0;
  }
  return r;
}

int KivoP2pStopTalk(KivoSession* s) {
  if (!s) return KIVO_ERR_NO_SESSION;
  s->talk_count.store(0);
  s->talk_drop.store(0);
  return SendPacket(s, CMD_TALK_STOP, nullptr, 0);
}

int KivoP2pNotifyLiveView(KivoSession* s) {
  return s ? SendPacket(s, CMD_LIVE_NOTICE, nullptr, 0) : KIVO_ERR_NO_SESSION;
}

int KivoP2pNotifySdPlayback(KivoSession* s) {
  return s ? SendPacket(s, CMD_SD_PLAYBACK_NOTICE, nullptr, 0) : KIVO_ERR_NO_SESSION;
}

int KivoP2pPlaybackSeek(KivoSession* s, time_t time) {
  if (!s) return KIVO_ERR_NO_SESSION;
  kivo::CmdFields f = Words(3, PLAYBACK_START_AT);
  f.time[0] = TimeToDeviceTime(time);
  return SendFields(s, CMD_PLAYBACK_CONTROL, f, nullptr, 0, nullptr, nullptr, 0);
}

int KivoP2pSetPlaybackSpeed(KivoSession* s, int step) {
  if (!s) return KIVO_ERR_NO_SESSION;
  kivo::CmdFields f = Words(0, PLAYBACK_SPEED);
  f.word[2] = static_cast<uint32_t>(step);
  return SendFields(s, CMD_PLAYBACK_CONTROL, f, nullptr, 0, nullptr, nullptr, 0);
}

int KivoP2pSetMainChannel(KivoSession* s, int first, int second) {
  if (!s) return KIVO_ERR_NO_SESSION;
  uint8_t reply[8];
  return SendFields(s, CMD_SET_MAIN_CHANNEL, Words(static_cast<uint32_t>(first), static_cast<uint32_t>(second)),
                    reply, sizeof(reply), nullptr, nullptr, kReplyWaitMs);
}

int KivoP2pGetLensParam(KivoSession* s, uint8_t out[12]) {
  if (!s) return KIVO_ERR_NO_SESSION;
  return KivoP2pSendCommand(s, CMD_GET_LENS, nullptr, 0, out, kivo::kLensSize, nullptr, nullptr, kReplyWaitMs);
}

int KivoP2pSetLensParam(KivoSession* s, const uint8_t lens[12]) {
  if (!s) return KIVO_ERR_NO_SESSION;
  kivo::CmdFields f;
  f.blob = lens;
  f.blob_len = kivo::kLensSize;
  return SendFields(s, CMD_SET_LENS, f, nullptr, 0, nullptr, nullptr, 0);
}

int KivoP2pPtzCtrl(KivoSession* s, int direction) {
  if (!s) return KIVO_ERR_NO_SESSION;
  kivo::CmdFields f;
  f.byte[0] = static_cast<uint8_t>(direction);
  return SendFields(s, CMD_PTZ, f, nullptr, 0, nullptr, nullptr, 0);
}

int KivoP2pSendPassword(KivoSession* s, const char* password, int* result) {
  if (!s) return KIVO_ERR_NO_SESSION;
  kivo::CmdFields f;
  const size_t n = password ? strnlen(password, kivo::kPasswordMax) : 0;
  f.blob = reinterpret_cast<const uint8_t*>(password);
  f.blob_len = static_cast<int>(n);
  uint8_t reply[8] = {};
  const int r = SendFields(s, CMD_PASSWORD, f, reply, sizeof(reply), nullptr, nullptr, kReplyWaitMs);
  if (r < 0) return r;
  // A reply without its result word answers nothing.
  if (r < 4) return KIVO_ERR_FORMAT;
  if (result) *result = static_cast<int>(platform::GetLe32(reply));
  return r;
}

int KivoP2pVerifyPassword(KivoSession* s, const char* password) {
  if (!s) return KIVO_ERR_NO_SESSION;
  const uint32_t start = platform::GetTickCount();
  int result = -1;
  int r = KivoP2pSendPassword(s, password, &result);
  LogPrintf(kLogInfo, nullptr, "KivoP2pVerifyPassword", "authentication consume %d ms\n",
            static_cast<int>(platform::GetTickCount() - start));
  if (r < 0) return r;
  if (result != 0) {
    LogPrintf(kLogError, nullptr, "KivoP2pVerifyPassword", "authenticate failed\n");
    return KIVO_ERR_AUTH;
  }
  return 0;
}

int KivoP2pGetRecordList(KivoSession* s, time_t start, int span_sec, RecordEntry** entries, int* count) {
  if (entries) *entries = nullptr;
  if (count) *count = 0;
  if (!s) return KIVO_ERR_NO_SESSION;
  if (!entries || !count) return KIVO_ERR_INVALID_PARAM;
  kivo::CmdFields f;
  f.time[0] = TimeToDeviceTime(start);
  f.time[1] = TimeToDeviceTime(start + span_sec);
  kivo::RecordCollect c;
  const int r = SendFields(s, CMD_RECORD_LIST, f, nullptr, 0, kivo::RecordListHandler, &c, 16000);
  if (r < 0 || c.error < 0) {
    std::free(c.entries);
    return r < 0 ? r : c.error;
  }
  *entries = c.entries;
  *count = c.count;
  return 0;
}

// --- Dates ---

DeviceTime TimeToDeviceTime(time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  DeviceTime d;
  d.year = static_cast<uint16_t>(tm.tm_year + 1900);
  d.month = static_cast<uint8_t>(tm.tm_mon + 1);
  d.day = static_cast<uint8_t>(tm.tm_mday);
  d.weekday = static_cast<uint8_t>(tm.tm_wday);
  d.hour = static_cast<uint8_t>(tm.tm_hour);
  d.minute = static_cast<uint8_t>(tm.tm_min);
  d.second = static_cast<uint8_t>(tm.tm_sec);
  return d;
}

time_t DeviceTimeToTime(const DeviceTime& d) {
  struct tm tm {};
  tm.tm_year = d.year - 1900;
  tm.tm_mon = d.month - 1;
  tm.tm_mday = d.day;
  tm.tm_hour = d.hour;
  tm.tm_min = d.minute;
  tm.tm_sec = d.second;
  tm.tm_isdst = -1;  // the date's own daylight-saving state
  return mktime(&tm);
}
