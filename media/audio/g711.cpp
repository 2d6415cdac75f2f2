#include "media/audio/g711.h"

namespace {

const int16_t kAlawSegEnd[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
const int16_t kUlawSegEnd[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};

// Index of the first segment end not below value; 8 when none.
int G711SegmentSearch(int value, const int16_t* table) {
  for (int i = 0; i < 8; ++i) {
    if (value <= table[i]) return i;
  }
  return 8;
}

}  // namespace

uint8_t G711LinearToAlaw(int16_t sample) {
  int value = sample >> 3;
  int mask;
  if (value >= 0) {
    mask = 0xD5;
  } else {
    mask = 0x55;
    value = ~value;
  }
  int seg = G711SegmentSearch(value, kAlawSegEnd);
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int aval = seg << 4;
  aval |= (value >> (seg < 2 ? 1 : seg)) & 0xF;
  return static_cast<uint8_t>(aval ^ mask);
}

int16_t G711AlawToLinear(uint8_t code) {
  int a = code ^ 0x55;
  int t = (a & 0xF) << 4;
  int seg = (a & 0x70) >> 4;
  if (seg == 0) {
    t += 8;
  } else {
    t = (t + 0x108) << (seg - 1);
  }
  return static_cast<int16_t>((a & 0x80) ? t : -t);
}

uint8_t G711LinearToUlaw(int16_t sample) {
  int value = sample >> 2;
  int mask;
  if (value < 0) {
    value = -value;
    mask = 0x7F;
  } else {
    mask = 0xFF;
  }
  if (value >= 8160) {
    value = 8192;
  } else {
    value += 33;
  }
  int seg = G711SegmentSearch(value, kUlawSegEnd);
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int uval = (seg << 4) | ((value >> (seg + 1)) & 0xF);
  return static_cast<uint8_t>(uval ^ mask);
}

int16_t G711UlawToLinear(uint8_t code) {
  int u = static_cast<uint8_t>(~code);
  int t = ((u & 0xF) << 3) + 132;
  t <<= (u >> 4) & 7;
  return static_cast<int16_t>((code & 0x80) ? t - 132 : 132 - t);
}
