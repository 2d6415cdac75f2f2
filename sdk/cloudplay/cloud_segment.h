// Cloud segment files: five seconds of frames, each a 16-byte big-endian header and a DES-CBC encrypted
// payload (the chain restarts at every frame; the plaintext ends in 1 to 8 padding bytes whose last byte
// holds their count). The reader has the slot layout of the MP4 reader's table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "av/reader_ops.h"

constexpr int kCloudFrameHeaderSize = 16;
// Reader results.
constexpr int kCloudReadUnsupported = -1103;
constexpr int kCloudReadTooSmall = -1104;  // the capacity is written with the size needed
constexpr int kCloudReadEnd = -1105;       // end of the file, or a frame cut short
constexpr int kCloudReadOpen = -1106;      // the file cannot be opened
// Payload lengths are 24-bit.
constexpr uint32_t kCloudMaxPayload = 0xFFFFFF;
// Codec of a sync frame (its plaintext begins with the wall-clock seconds, 32-bit little-endian).
constexpr uint32_t kCloudSyncCodec = 0;

struct CloudFrameHeader {
  uint16_t type = 0;   // high byte channel, low byte MediaCodecId; 0 a sync frame
  uint16_t flags = 0;  // video: 1 key frame; audio: the frame's audio parameter
  uint32_t length = 0;
  uint32_t timestamp = 0;  // ms
  uint32_t reserved = 0;
};

// The AvStreamType of a header's type: channel << 16 | codec.
inline uint32_t CloudFrameStreamType(uint16_t type) { return (uint32_t(type >> 8) << 16) | (type & 0xFF); }
// Bytes stored for a payload length: rounded up to a multiple of 8.
inline uint32_t CloudStoredSize(uint32_t length) { return ((length & kCloudMaxPayload) + 7u) & ~7u; }

// Parses 16 bytes.
CloudFrameHeader CloudFrameHeaderParse(const uint8_t* p);
// The length of a decrypted frame without its padding, or -1 when the padding count (its last byte) is not 1
// to 8 or exceeds the stored size.
int CloudFrameUnpad(const uint8_t* plain, int stored_size);
// Appends one frame: header, then data with PKCS#5 padding encrypted under key.
bool CloudFrameAppend(uint16_t type, uint16_t flags, uint32_t timestamp, const uint8_t* data, size_t length,
                      const char* key, std::vector<uint8_t>* out);

// The segment reader: slots 0 probe, 1 open, 3 information, 5 peek, 6 read frame, 7 unsupported, 8 rewind,
// 9 close; 2 and 4 are empty.
const Mp4ReaderOps* CloudFileReaderOps();
