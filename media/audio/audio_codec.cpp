#include "media/audio/audio_codec.h"

#include <cstring>

#include "media/audio/g711.h"

namespace {

const int8_t kImaIndexTable[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

const int16_t kImaStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

int16_t ReadLe16(const uint8_t* p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }

void WriteLe16(uint8_t* p, int16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
}

// One ADPCM reconstruction step, shared by the encoder and the decoder.
void ImaStep(int32_t* predictor, int32_t* index, int code) {
  int32_t step = kImaStepTable[*index];
  int32_t vpdiff = step * (code & 7) / 4 + step / 8;
  *predictor = Clamp((code & 8) ? *predictor - vpdiff : *predictor + vpdiff, -32768, 32767);
  *index = Clamp(*index + kImaIndexTable[code & 7], 0, 88);
}

// Sampling rates of the ADTS frequency index.
const uint32_t kAdtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                 22050, 16000, 12000, 11025, 8000,  7350};

// Length of the ADTS frame at data, 0 when data does not begin with a header.
uint32_t AdtsFrameLength(const uint8_t* data, uint32_t length) {
  if (length < 7 || data[0] != 0xFF || (data[1] & 0xF6) != 0xF0) return 0;
  if (((data[2] >> 2) & 0xF) >= 13) return 0;
  return ((data[3] & 3u) << 11) | (data[4] << 3) | (data[5] >> 5);
}

}  // namespace

void ImaAdpcmReset(ImaAdpcmState* s) { std::memset(s, 0, sizeof(*s)); }

int ImaAdpcmEncode(ImaAdpcmState* s, const uint8_t* pcm, uint32_t bytes, uint8_t* out) {
  uint32_t samples = bytes / 2;
  for (uint32_t i = 0; i < samples; ++i) {
    int32_t diff = ReadLe16(pcm + 2 * i) - s->encPredictor;
    int code = 0;
    if (diff < 0) {
      code = 8;
      diff = -diff;
    }
    int32_t step = kImaStepTable[s->encIndex];
    int32_t m = diff * 4 / step;
    if (m > 7) m = 7;
    code |= m;
    ImaStep(&s->encPredictor, &s->encIndex, code);
    if (i / 2 >= samples / 2) break;  // a trailing odd sample has no byte of its own
    if ((i & 1) == 0) {
      out[i / 2] = static_cast<uint8_t>(code << 4);
    } else {
      out[i / 2] |= static_cast<uint8_t>(code);
    }
  }
  return static_cast<int>(samples / 2);
}

int ImaAdpcmDecode(ImaAdpcmState* s, const uint8_t* data, uint32_t length, uint8_t* pcm) {
  for (uint32_t i = 0; i < length; ++i) {
    int codes[2] = {data[i] >> 4, data[i] & 0xF};
    for (int k = 0; k < 2; ++k) {
      ImaStep(&s->decPredictor, &s->decIndex, codes[k]);
      WriteLe16(pcm + 4 * i + 2 * k, static_cast<int16_t>(s->decPredictor));
    }
  }
  return static_cast<int>(length * 4);
}

void AudioCodec::SetCodec(int32_t id) {
  if (id == kAudioCodecAdpcm) ImaAdpcmReset(&adpcm);
  codec = id;
}

void AudioCodec::ReleaseAac() {
  if (aac) {
    NeAACDecClose(aac);
    aac = nullptr;
  }
  aacReady = false;
  aacChannels = 0;
}

void AudioCodec::Configure(int32_t id, const uint8_t* config, uint32_t configLen) {
  if (codec == kAudioCodecAac) ReleaseAac();
  codec = id;
  if (id == kAudioCodecAdpcm) ImaAdpcmReset(&adpcm);
  if (id != kAudioCodecAac) return;
  aac = NeAACDecOpen();
  if (!aac) {
    codec = 0;
    return;
  }
  NeAACDecConfigurationPtr cfg = NeAACDecGetCurrentConfiguration(aac);
  cfg->defObjectType = LC;
  cfg->defSampleRate = 8000;
  cfg->outputFormat = FAAD_FMT_16BIT;
  cfg->dontUpSampleImplicitSBR = 1;
  NeAACDecSetConfiguration(aac, cfg);
  if (config && configLen) {
    unsigned long rate = 0;
    unsigned char channels = 0;
    if (NeAACDecInit2(aac, const_cast<uint8_t*>(config), configLen, &rate, &channels) < 0) {
      ReleaseAac();
      codec = 0;
      return;
    }
    mp4AudioSpecificConfig asc{};
    NeAACDecAudioSpecificConfig(const_cast<uint8_t*>(config), configLen, &asc);
    aacReady = true;
    aacChannels = channels;
  }
}

int AudioCodec::Encode(const uint8_t* pcm, uint32_t bytes, uint8_t* out) {
  uint32_t samples = bytes / 2;
  switch (codec) {
    case kAudioCodecAlaw:
      for (uint32_t i = 0; i < samples; ++i) out[i] = G711LinearToAlaw(ReadLe16(pcm + 2 * i));
      return static_cast<int>(samples);
    case kAudioCodecUlaw:
      for (uint32_t i = 0; i < samples; ++i) out[i] = G711LinearToUlaw(ReadLe16(pcm + 2 * i));
      return static_cast<int>(samples);
    case kAudioCodecAdpcm:
      return ImaAdpcmEncode(&adpcm, pcm, bytes, out);
    default:
      return 0;
  }
}

int AudioCodec::Decode(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t capacity) {
  switch (codec) {
    case kAudioCodecAlaw:
    case kAudioCodecUlaw: {
      if (static_cast<uint64_t>(length) * 2 > capacity) return -1;
      bool alaw = codec == kAudioCodecAlaw;
      for (uint32_t i = 0; i < length; ++i)
        WriteLe16(out + 2 * i, alaw ? G711AlawToLinear(data[i]) : G711UlawToLinear(data[i]));
      return static_cast<int>(length * 2);
    }
    case kAudioCodecAdpcm:
      if (static_cast<uint64_t>(length) * 4 > capacity) return -1;
      return ImaAdpcmDecode(&adpcm, data, length, out);
    case kAudioCodecAac:
      break;
    default:
      return -1;
  }
  if (!aac || !data || length == 0) return -1;
  if (!aacReady) {
    // Without a decoder configuration FAAD2 refuses every frame until it has
    // been initialised; take the stream parameters from the first ADTS header.
    if (AdtsFrameLength(data, length) == 0) return -1;
    unsigned long rate = 0;
    unsigned char channels = 0;
    if (NeAACDecInit(aac, const_cast<uint8_t*>(data), length, &rate, &channels) < 0) return -1;
    aacReady = true;
    aacChannels = static_cast<uint8_t>(((data[2] & 1) << 2) | (data[3] >> 6));
    if (aacChannels == 0) aacChannels = channels;
  }
  void* samples = NeAACDecDecode(aac, &aacInfo, const_cast<uint8_t*>(data), length);
  if (aacInfo.error != 0 || !samples) return -1;
  const int16_t* pcm = static_cast<const int16_t*>(samples);
  uint64_t count = aacInfo.samples;
  if (aacChannels == 1 && aacInfo.channels == 2) {
    // FAAD2 gives mono streams as two equal channels; keep one.
    uint64_t frames = count / 2;
    if (frames * 2 > capacity) return -1;
    for (uint64_t i = 0; i < frames; ++i) {
      int32_t mixed = (pcm[2 * i] + pcm[2 * i + 1]) / 2;
      WriteLe16(out + 2 * i, static_cast<int16_t>(mixed));
    }
    return static_cast<int>(frames * 2);
  }
  if (count * 2 > capacity) return -1;
  std::memcpy(out, pcm, count * 2);
  return static_cast<int>(count * 2);
}
