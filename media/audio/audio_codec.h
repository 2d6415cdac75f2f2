// Conversion between 16-bit PCM and the audio codecs of the device link.
#pragma once

#include <cstdint>

#include <neaacdec.h>

#include "av/media_codec.h"

struct ImaAdpcmState {
  int32_t encPredictor;
  int32_t encIndex;
  int32_t decPredictor;
  int32_t decIndex;
};

struct AudioCodec {
  ImaAdpcmState adpcm{};
  NeAACDecHandle aac = nullptr;
  NeAACDecFrameInfo aacInfo{};
  // Set once FAAD2 has been initialised (from a configuration or an ADTS header).
  bool aacReady = false;
  // Channel count the stream declares; FAAD2 may give mono as two channels.
  uint8_t aacChannels = 0;
  int32_t codec = 0;

  AudioCodec() = default;
  AudioCodec(const AudioCodec&) = delete;
  AudioCodec& operator=(const AudioCodec&) = delete;
  ~AudioCodec() { ReleaseAac(); }

  void SetCodec(int32_t id);
  void Configure(int32_t id, const uint8_t* config, uint32_t configLen);
  void ReleaseAac();
  // Returns the encoded byte count (0 for codecs without an encoder). The
  // output must hold bytes / 2 bytes (G.711) or bytes / 4 (ADPCM).
  int Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out);
  // Returns the PCM byte count, or -1 for an undecodable codec, a bad frame,
  // or a result larger than capacity (nothing is written past capacity).
  int Decode(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t capacity);
};

void ImaAdpcmReset(ImaAdpcmState* s);
int ImaAdpcmEncode(ImaAdpcmState* s, const uint8_t* pcm, uint32_t bytes, uint8_t* out);
int ImaAdpcmDecode(ImaAdpcmState* s, const uint8_t* data, uint32_t length, uint8_t* pcm);
