// Media frames on the device link: the frame reader, the six AV slots with
// their subscribers and receive threads, and the talkback sender.
#include <cstring>

#include "av/media_codec.h"
#include "platform/thread.h"
#include "sdk/device/kivo_session.h"
#include "sdk/device/kivo_wire.h"
#include "util/log.h"

namespace {

constexpr int kFrameBufStart = 2048;
constexpr int kFrameHeadroom = 51216;
constexpr int kStepMs = 500;
constexpr int kTalkChannel = 3;

struct CodecPair {
  uint8_t wire;
  uint8_t codec;
};
const CodecPair kWireCodecs[] = {
    {0x0A, 10}, {0x4C, 11}, {0x4D, 0},  {0x4E, 1},  {0x4F, 12}, {0x50, 13}, {0x88, 59},
    {0x89, 51}, {0x8A, 2},  {0x8B, 53}, {0x8C, 52}, {0x8D, 0},  {0x8E, 60}, {0x8F, 55},
};
const CodecPair kSendCodecs[] = {{0x4E, 1}, {0x8A, 2}, {0x4F, 12}, {0x50, 13}, {0x8C, 52}};

int SendStartStop(KivoSession* s, uint32_t command, int av_index, int channel) {
  uint8_t payload[8];
  kivo::CmdFields f;
  f.word[0] = static_cast<uint32_t>(av_index);
  f.word[1] = static_cast<uint32_t>(channel);
  const int n = kivo::BuildPayload(command, f, payload, sizeof(payload));
  return KivoRawSendCmdPkt(s, command, payload, n);
}

void RemoveSubscriberLocked(AvSlot* slot, int channel) {
  for (auto it = slot->subscribers.begin(); it != slot->subscribers.end(); ++it) {
    if (it->channel == channel || it->channel == -1) {
      slot->subscribers.erase(it);
      return;
    }
  }
}

void KivoP2pRemoveSubscriber(int channel, AvSlot* slot) {
  std::lock_guard<std::mutex> g(slot->mu);
  RemoveSubscriberLocked(slot, channel);
}

void JoinSlot(AvSlot* slot) {
  if (slot->thread.joinable()) slot->thread.join();
}

int KivoP2pSubscribe(const AvSubscriber& sub, AvSlot* slot, KivoSession* s, uint32_t start_command) {
  {
    std::lock_guard<std::mutex> g(slot->mu);
    slot->subscribers.push_back(sub);
  }
  const int r = SendStartStop(s, start_command, slot->av_index, sub.channel);
  if (r < 0) {
    std::lock_guard<std::mutex> g(slot->mu);
    for (auto it = slot->subscribers.end(); it != slot->subscribers.begin();) {
      --it;
      if (it->callback == sub.callback && it->user == sub.user && it->channel == sub.channel) {
        slot->subscribers.erase(it);
        break;
      }
    }
    return r;
  }
  if (!slot->run.load()) {
    // A thread that ended on an error is joined before a new one starts.
    JoinSlot(slot);
    slot->run.store(true);
    slot->thread = std::thread(kivo::SlotThread, slot);
  }
  return 0;
}

void KivoP2pUnsubscribe(int channel, uint32_t stop_command, AvSlot* slot) {
  if (!slot->thread.joinable() || !slot->run.load()) return;
  SendStartStop(slot->session, stop_command, slot->av_index, channel);
  bool empty;
  {
    std::lock_guard<std::mutex> g(slot->mu);
    RemoveSubscriberLocked(slot, channel);
    empty = slot->subscribers.empty();
  }
  if (empty) {
    slot->run.store(false);
    JoinSlot(slot);
  }
}

}  // namespace

namespace kivo {

int RecvFramePkt(KivoSession* s, int channel, GrowBuf* buf, int timeout_ms, const std::atomic<bool>* run) {
  if (buf->bytes.size() < static_cast<size_t>(kFrameBufStart)) buf->bytes.resize(kFrameBufStart);
  uint8_t* p = buf->bytes.data();
  int got = 0;
  while (got < kFrameHeaderSize) {
    const int r = s->ops->recv(s->transport, channel, p + got, kFrameHeaderSize - got, timeout_ms);
    if (r == KIVO_ERR_TIMEOUT) {
      if (!got || (run && !run->load())) return KIVO_ERR_TIMEOUT;
      continue;
    }
    if (r < 0 || r > kFrameHeaderSize - got) {
      const int e = r < 0 ? r : KIVO_ERR_COMMUNICATION;
      s->last_recv_error.store(e);
      LogPrintf(kLogError, nullptr, "KivoRawRecvFramePkt", "KivoRawRecvN: %d\n", e);
      return e;
    }
    got += r;
  }
  const uint32_t len = GetFrameHeader(p).length;
  // A length past the cap is a broken stream, never an allocation.
  if (len > kMaxPayload) {
    s->last_recv_error.store(KIVO_ERR_FORMAT);
    LogPrintf(kLogError, nullptr, "KivoRawRecvFramePkt", "frame length %u past the cap\n", len);
    return KIVO_ERR_FORMAT;
  }
  if (len) {
    const int r = RecvPayload(s, channel, buf, kFrameHeaderSize, len, kFrameHeadroom, run);
    if (r == 0) return KIVO_ERR_TIMEOUT;
    if (r < 0) {
      s->last_recv_error.store(r);
      LogPrintf(kLogError, nullptr, "KivoRawRecvFramePkt", "KivoRawRecvN2: %d\n", r);
      return r;
    }
  }
  return kFrameHeaderSize + static_cast<int>(len);
}

void SlotThread(AvSlot* slot) {
  platform::SetCurrentThreadName("_RecvMediaThread");
  KivoSession* s = slot->session;
  GrowBuf buf;
  while (slot->run.load()) {
    const int r = RecvFramePkt(s, slot->av_index, &buf, kStepMs, &slot->run);
    if (r == KIVO_ERR_TIMEOUT) continue;
    if (r < 0) {
      LogPrintf(kLogError, nullptr, "_RecvMediaThread", "Error %d: %s\n", r, KivoP2pErrorName(r));
      std::lock_guard<std::mutex> g(slot->mu);
      for (const AvSubscriber& sub : slot->subscribers)
        if (sub.callback) sub.callback(nullptr, nullptr, r, sub.user);
      break;
    }
    uint8_t* p = buf.bytes.data();
    MediaFrameHeader h = GetFrameHeader(p);
    h.codec = static_cast<uint8_t>(WireCodecToMediaCodec(h.codec));
    std::lock_guard<std::mutex> g(slot->mu);
    for (const AvSubscriber& sub : slot->subscribers) {
      if (sub.channel == 1) h.channel = 1;
      if (sub.channel == -1 || sub.channel == h.channel) {
        if (sub.callback) sub.callback(&h, p + kFrameHeaderSize, static_cast<int>(h.length), sub.user);
        break;
      }
    }
  }
  LogPrintf(kLogDetail, nullptr, "_RecvMediaThread", "quit, avIndex=%d\n", slot->av_index);
}

}  // namespace kivo

int KivoRawRecvFramePkt(KivoSession* s, int channel, kivo::GrowBuf* buf, int timeout_ms,
                        const std::atomic<bool>* run) {
  if (!s) return KIVO_ERR_NO_SESSION;
  return kivo::RecvFramePkt(s, channel, buf, timeout_ms, run);
}

int WireCodecToMediaCodec(int wire) {
  for (const CodecPair& c : kWireCodecs)
    if (c.wire == wire) return c.codec;
  return 0;
}

int MediaCodecToWireCodec(int codec) {
  for (const CodecPair& c : kSendCodecs)
    if (c.codec == codec) return c.wire;
  return -1;
}

int KivoRawSendMedia(KivoSession* s, int codec, uint32_t timestamp, int flags, const void* payload, int length) {
  if (!s) return KIVO_ERR_NO_SESSION;
  const int wire = MediaCodecToWireCodec(codec);
  if (wire < 0) return KIVO_ERR_INVALID_PARAM;
  if (length < 0 || static_cast<uint32_t>(length) > kivo::kMaxPayload || (length && !payload))
    return KIVO_ERR_INVALID_PARAM;
  MediaFrameHeader h{};
  h.codec = static_cast<uint8_t>(wire);
  h.flags = static_cast<uint8_t>(IsVideoCodec(codec) ? (flags & 1) : flags);
  h.length = static_cast<uint32_t>(length);
  h.timestamp = timestamp;
  const int total = kivo::kFrameHeaderSize + length;
  if (s->ops->check_send_buf && s->ops->check_send_buf(s->transport, 0, total, nullptr))
    return KIVO_ERR_SEND_BUFFER_FULL;
  uint8_t head[kivo::kFrameHeaderSize];
  kivo::PutFrameHeader(head, h);
  int r = s->ops->send(s->transport, kTalkChannel, head, sizeof(head));
  if (r < 0) return r;
  if (length == 0) return kivo::kFrameHeaderSize;
  const int sent = s->ops->send(s->transport, kTalkChannel, payload, length);
  if (sent != length) {
    LogPrintf(kLogError, nullptr, "KivoRawSendMedia", "sent %d, expected %d\n", sent, length);
    if (sent < 0) return sent;
  }
  return kivo::kFrameHeaderSize + sent;
}

int KivoP2pSendMedia(KivoSession* s, const void* g711a, int length) {
  if (!s) return 0;
  if (s->talk_count.fetch_add(1) + 1 >= 6) {
    s->talk_count.store(0);
    if (!s->ops->alive(s->transport)) s->talk_drop.store(2);
  }
  if (s->talk_drop.load() == 2) return 0;
  const int r = KivoRawSendMedia(s, MEDIA_CODEC_G711A, 0, 0, g711a, length);
  if (r == KIVO_ERR_SEND_BUFFER_FULL) {
    int sending = 0;
    if (s->talk_drop.compare_exchange_strong(sending, 1))
      LogPrintf(kLogWarning, nullptr, "KivoP2pSendMedia", "Drop media ...\n");
    return 1;
  }
  return 0;
}

int KivoP2pStartVideo(KivoSession* s, int channel, AvFrameCallback cb, void* user) {
  if (!s) return KIVO_ERR_NO_SESSION;
  AvSlot* slot = kivo::Slot(s, channel == 1 ? 3 : 2);
  return KivoP2pSubscribe({channel, cb, user}, slot, s, CMD_START_VIDEO);
}

int KivoP2pStopVideo(KivoSession* s, int channel) {
  if (!s) return KIVO_ERR_NO_SESSION;
  KivoP2pUnsubscribe(channel, CMD_STOP_VIDEO, kivo::Slot(s, channel == 1 ? 3 : 2));
  return 0;
}

int KivoP2pStartAudio(KivoSession* s, AvFrameCallback cb, void* user) {
  if (!s) return KIVO_ERR_NO_SESSION;
  return KivoP2pSubscribe({-1, cb, user}, kivo::Slot(s, 1), s, CMD_START_AUDIO);
}

int KivoP2pStopAudio(KivoSession* s) {
  if (!s) return KIVO_ERR_NO_SESSION;
  KivoP2pUnsubscribe(0, CMD_STOP_AUDIO, kivo::Slot(s, 1));
  return 0;
}

int KivoP2pStartPlaybackRecv(KivoSession* s, AvFrameCallback video, void* video_user, AvFrameCallback audio,
                             void* audio_user) {
  if (!s) return KIVO_ERR_NO_SESSION;
  AvSlot* v = kivo::Slot(s, 3);
  AvSlot* a = kivo::Slot(s, 4);
  if (v->thread.joinable()) return 0;
  for (AvSlot* slot : {v, a}) {
    std::lock_guard<std::mutex> g(slot->mu);
    slot->subscribers.push_back({-1, slot == v ? video : audio, slot == v ? video_user : audio_user});
  }
  for (AvSlot* slot : {v, a}) {
    JoinSlot(slot);
    slot->run.store(true);
    slot->thread = std::thread(kivo::SlotThread, slot);
  }
  return 0;
}

int KivoP2pStopPlayback(KivoSession* s) {
  if (!s) return KIVO_ERR_NO_SESSION;
  AvSlot* v = kivo::Slot(s, 3);
  AvSlot* a = kivo::Slot(s, 4);
  if (!v->thread.joinable()) return 0;
  uint8_t payload[24];
  kivo::CmdFields f;
  f.word[1] = PLAYBACK_STOP;
  const int n = kivo::BuildPayload(CMD_PLAYBACK_CONTROL, f, payload, sizeof(payload));
  KivoRawSendCmdPkt(s, CMD_PLAYBACK_CONTROL, payload, n);
  v->run.store(false);
  a->run.store(false);
  for (AvSlot* slot : {v, a}) {
    if (!slot->thread.joinable()) continue;
    slot->thread.join();
    KivoP2pRemoveSubscriber(-1, slot);
  }
  return 0;
}

int KivoP2pResubscribe(KivoSession* s) {
  if (!s) return KIVO_ERR_NO_SESSION;
  int r = 0;
  for (int av = 1; av <= 3; ++av) {
    AvSlot* slot = kivo::Slot(s, av);
    if (!slot->thread.joinable()) continue;
    std::lock_guard<std::mutex> g(slot->mu);
    for (const AvSubscriber& sub : slot->subscribers) {
      r = SendStartStop(s, av == 1 ? CMD_START_AUDIO : CMD_START_VIDEO, av, sub.channel);
      if (r < 0) return r;
    }
  }
  return r;
}
