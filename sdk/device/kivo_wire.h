// The device link's bytes: command headers, every command's payload layout
// (one table walked by one builder and one parser), the media frame header
// and the record-list packets. Parsers work on byte spans with explicit
// lengths and never read past them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/device/kivo_p2p.h"

namespace kivo {

inline constexpr int kCmdHeaderSize = 8;
inline constexpr int kFrameHeaderSize = 16;
// No device payload may size an allocation beyond this.
inline constexpr uint32_t kMaxPayload = 8u << 20;
inline constexpr int kPasswordMax = 48;
inline constexpr int kLensSize = 12;
inline constexpr int kRecordEntrySize = 16;
inline constexpr int kRecordListHead = 12;

struct CmdHeader {
  uint32_t command = 0;
  uint32_t length = 0;
};

void PutCmdHeader(uint8_t* out, uint32_t command, uint32_t length);
CmdHeader GetCmdHeader(const uint8_t* in);  // 8 bytes

void PutFrameHeader(uint8_t* out, const MediaFrameHeader& h);
MediaFrameHeader GetFrameHeader(const uint8_t* in);  // 16 bytes

void PutDeviceTime(uint8_t* out, const DeviceTime& t);
DeviceTime GetDeviceTime(const uint8_t* in);  // 8 bytes

// The fields of a command payload, by role; a layout says which are on the wire and where.
struct CmdFields {
  uint32_t word[4] = {};  // numbered u32 words (avIndex, channel, sub-command, ...)
  uint8_t byte[2] = {};   // numbered bytes
  DeviceTime time[2] = {};
  const uint8_t* blob = nullptr;  // fixed-width bytes (password, lens triple) or the text of a text payload
  int blob_len = 0;
};

enum class FieldKind : uint8_t { U32, U8, Time, Blob, Text };

struct FieldSpec {
  FieldKind kind;
  uint8_t offset;
  uint8_t index;  // word/byte/time number; the width for Blob
};

struct CmdLayout {
  uint32_t command;
  const char* name;
  int min;   // bytes a parser needs
  int size;  // bytes the builder writes (-1: text, its own length)
  int nfields;
  FieldSpec fields[6];
};

// The layout of a command (requests, replies and the two device packets), or null.
const CmdLayout* FindLayout(uint32_t command);
// Writes the payload of `command` into out (capacity cap); its length, or -10007 for an unknown command or
// too small a buffer.
int BuildPayload(uint32_t command, const CmdFields& f, uint8_t* out, int cap);
// Reads the payload of `command`; 0, -10012 when it is shorter than its layout needs, -10003 unknown.
int ParsePayload(uint32_t command, const uint8_t* p, int len, CmdFields* f);

// Maps a device error code (payload of CMD_ERROR_REPLY) to a KivoP2pError.
int MapDeviceError(uint32_t code);

// One record-list reply packet (command 0x8001).
struct RecordListPacket {
  uint32_t total = 0;
  bool last = false;
  int count = 0;
  const uint8_t* entries = nullptr;  // count * 16 bytes
};
// 0, or -10012 when the packet is short or announces more entries than it carries.
int ParseRecordListPacket(const uint8_t* p, int len, RecordListPacket* out);
RecordEntry GetRecordEntry(const uint8_t* in);
void PutRecordEntry(uint8_t* out, const RecordEntry& e);
// Writes a record-list packet head; the entries follow at offset 12.
void PutRecordListHead(uint8_t* out, uint32_t total, bool last, int count);

}  // namespace kivo
