#include "sdk/device/kivo_wire.h"

#include <cstring>

#include "platform/byte_order.h"

using platform::GetLe16;
using platform::GetLe32;
using platform::PutLe16;
using platform::PutLe32;

namespace kivo {
namespace {

#define W(o, i) {FieldKind::U32, o, i}
#define B(o, i) {FieldKind::U8, o, i}
#define T(o, i) {FieldKind::Time, o, i}
#define BLOB(o, w) {FieldKind::Blob, o, w}
#define TEXT {FieldKind::Text, 0, 0}
#define FIXED(c, size, n, ...) {c, #c, size, size, n, {__VA_ARGS__}}
#define EMPTY(c) {c, #c, 0, 0, 0, {}}

// Replies are named by their request's command with bit 0 flipped.
constexpr uint32_t R(uint32_t c) { return c ^ 1u; }

const CmdLayout kLayouts[] = {
    // From the device.
    FIXED(CMD_ERROR_REPLY, 8, 2, W(0, 0), W(4, 1)),
    {CMD_EVENT, "CMD_EVENT", 0, -1, 1, {TEXT}},
    // AV slot commands: {avIndex, channel}.
    FIXED(CMD_START_VIDEO, 8, 2, W(0, 0), W(4, 1)),
    FIXED(CMD_STOP_VIDEO, 8, 2, W(0, 0), W(4, 1)),
    FIXED(CMD_START_AUDIO, 8, 2, W(0, 0), W(4, 1)),
    FIXED(CMD_STOP_AUDIO, 8, 2, W(0, 0), W(4, 1)),
    // {channel word, sub-command, parameter, time, 0}.
    FIXED(CMD_PLAYBACK_CONTROL, 24, 5, W(0, 0), W(4, 1), W(8, 2), T(12, 0), W(20, 3)),
    FIXED(CMD_STREAM_QUALITY, 8, 2, W(0, 0), W(4, 1)),
    FIXED(CMD_TALK_START, 8, 2, W(0, 0), W(4, 1)),
    {R(CMD_TALK_START), "CMD_TALK_START reply", 1, 1, 1, {B(0, 0)}},
    EMPTY(CMD_LIVE_NOTICE),
    EMPTY(CMD_SD_PLAYBACK_NOTICE),
    FIXED(CMD_TALK_START_OLD, 8, 2, W(0, 0), W(4, 1)),
    EMPTY(CMD_TALK_STOP),
    EMPTY(CMD_CLOSE_NOTICE),
    FIXED(CMD_SET_LENS, 12, 1, BLOB(0, 12)),
    EMPTY(CMD_GET_LENS),
    {R(CMD_GET_LENS), "CMD_GET_LENS reply", 12, 12, 1, {BLOB(0, 12)}},
    FIXED(CMD_SET_MAIN_CHANNEL, 8, 2, W(0, 0), W(4, 1)),
    {R(CMD_SET_MAIN_CHANNEL), "CMD_SET_MAIN_CHANNEL reply", 8, 8, 2, {W(0, 0), W(4, 1)}},
    FIXED(CMD_POST_CONNECT, 8, 2, W(0, 0), W(4, 1)),
    {R(CMD_POST_CONNECT), "CMD_POST_CONNECT reply", 0, 0, 0, {}},
    FIXED(CMD_DOORBELL_START, 8, 2, W(0, 0), W(4, 1)),
    // {byte direction, 7 zero bytes}.
    FIXED(CMD_PTZ, 8, 1, B(0, 0)),
    // {start, end, 8 zero bytes}.
    FIXED(CMD_RECORD_LIST, 24, 2, T(0, 0), T(8, 1)),
    // {8 zero bytes, the password cut to 48 bytes, 4 zero bytes}.
    FIXED(CMD_PASSWORD, 60, 1, BLOB(8, 48)),
    // {u32 result}: a shorter reply is no answer.
    {R(CMD_PASSWORD), "CMD_PASSWORD reply", 4, 8, 1, {W(0, 0)}},
    {CMD_FEATURES, "CMD_FEATURES", 0, -1, 1, {TEXT}},
    {R(CMD_FEATURES), "CMD_FEATURES reply", 0, -1, 1, {TEXT}},
};

#undef W
#undef B
#undef T
#undef BLOB
#undef TEXT
#undef FIXED
#undef EMPTY

}  // namespace

void PutCmdHeader(uint8_t* out, uint32_t command, uint32_t length) {
  PutLe32(out, command);
  PutLe32(out + 4, length);
}

CmdHeader GetCmdHeader(const uint8_t* in) { return {GetLe32(in), GetLe32(in + 4)}; }

void PutFrameHeader(uint8_t* out, const MediaFrameHeader& h) {
  out[0] = h.codec;
  out[1] = h.channel;
  out[2] = h.flags;
  out[3] = h.reserved;
  PutLe32(out + 4, h.reserved2);
  PutLe32(out + 8, h.length);
  PutLe32(out + 12, h.timestamp);
}

MediaFrameHeader GetFrameHeader(const uint8_t* in) {
  MediaFrameHeader h;
  h.codec = in[0];
  h.channel = in[1];
  h.flags = in[2];
  h.reserved = in[3];
  h.reserved2 = GetLe32(in + 4);
  h.length = GetLe32(in + 8);
  h.timestamp = GetLe32(in + 12);
  return h;
}

void PutDeviceTime(uint8_t* out, const DeviceTime& t) {
  PutLe16(out, t.year);
  out[2] = t.month;
  out[3] = t.day;
  out[4] = t.weekday;
  out[5] = t.hour;
  out[6] = t.minute;
  out[7] = t.second;
}

DeviceTime GetDeviceTime(const uint8_t* in) {
  DeviceTime t;
  t.year = GetLe16(in);
  t.month = in[2];
  t.day = in[3];
  t.weekday = in[4];
  t.hour = in[5];
  t.minute = in[6];
  t.second = in[7];
  return t;
}

const CmdLayout* FindLayout(uint32_t command) {
  for (const CmdLayout& l : kLayouts)
    if (l.command == command) return &l;
  return nullptr;
}

int BuildPayload(uint32_t command, const CmdFields& f, uint8_t* out, int cap) {
  const CmdLayout* l = FindLayout(command);
  if (!l) return KIVO_ERR_INVALID_PARAM;
  int size = l->size;
  if (size < 0) size = f.blob_len > 0 ? f.blob_len : 0;
  if (size > cap) return KIVO_ERR_INVALID_PARAM;
  if (size > 0) std::memset(out, 0, static_cast<size_t>(size));
  for (int i = 0; i < l->nfields; ++i) {
    const FieldSpec& s = l->fields[i];
    uint8_t* p = out + s.offset;
    switch (s.kind) {
      case FieldKind::U32: PutLe32(p, f.word[s.index]); break;
      case FieldKind::U8: *p = f.byte[s.index]; break;
      case FieldKind::Time: PutDeviceTime(p, f.time[s.index]); break;
      case FieldKind::Blob:
        if (f.blob && f.blob_len > 0)
          std::memcpy(p, f.blob, static_cast<size_t>(f.blob_len < s.index ? f.blob_len : s.index));
        break;
      case FieldKind::Text:
        if (f.blob && size > 0) std::memcpy(out, f.blob, static_cast<size_t>(size));
        break;
    }
  }
  return size;
}

int ParsePayload(uint32_t command, const uint8_t* p, int len, CmdFields* f) {
  *f = CmdFields{};
  const CmdLayout* l = FindLayout(command);
  if (!l) return KIVO_ERR_UNSUPPORTED;
  if (len < l->min || len < 0) return KIVO_ERR_FORMAT;
  for (int i = 0; i < l->nfields; ++i) {
    const FieldSpec& s = l->fields[i];
    const uint8_t* q = p + s.offset;
    // Fields past the bytes there are (a longer layout than its minimum) keep their zero.
    switch (s.kind) {
      case FieldKind::U32:
        if (s.offset + 4 <= len) f->word[s.index] = GetLe32(q);
        break;
      case FieldKind::U8:
        if (s.offset + 1 <= len) f->byte[s.index] = *q;
        break;
      case FieldKind::Time:
        if (s.offset + 8 <= len) f->time[s.index] = GetDeviceTime(q);
        break;
      case FieldKind::Blob:
        if (s.offset + s.index <= len) {
          f->blob = q;
          f->blob_len = s.index;
        }
        break;
      case FieldKind::Text:
        f->blob = p;
        f->blob_len = len;
        break;
    }
  }
  return 0;
}

int MapDeviceError(uint32_t code) {
  if (code == 0) return 0;
  if (code >= 1 && code <= 7) return KIVO_ERR_DEV_PROCESSING - static_cast<int>(code - 1);
  return -1;
}

int ParseRecordListPacket(const uint8_t* p, int len, RecordListPacket* out) {
  *out = RecordListPacket{};
  if (len < kRecordListHead) return KIVO_ERR_FORMAT;
  const int count = p[10];
  if (count > (len - kRecordListHead) / kRecordEntrySize) return KIVO_ERR_FORMAT;
  out->total = GetLe32(p + 4);
  out->last = p[9] != 0;
  out->count = count;
  out->entries = p + kRecordListHead;
  return 0;
}

RecordEntry GetRecordEntry(const uint8_t* in) {
  RecordEntry e;
  e.start = GetDeviceTime(in);
  e.duration = GetLe32(in + 8);
  e.kind = in[12];
  return e;
}

void PutRecordEntry(uint8_t* out, const RecordEntry& e) {
  std::memset(out, 0, kRecordEntrySize);
  PutDeviceTime(out, e.start);
  PutLe32(out + 8, e.duration);
  out[12] = e.kind;
}

void PutRecordListHead(uint8_t* out, uint32_t total, bool last, int count) {
  std::memset(out, 0, kRecordListHead);
  PutLe32(out + 4, total);
  out[9] = last ? 1 : 0;
  out[10] = static_cast<uint8_t>(count);
}

}  // namespace kivo
