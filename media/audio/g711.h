// G.711 A-law and mu-law conversion (segment-search form).
#pragma once

#include <cstdint>

uint8_t G711LinearToAlaw(int16_t sample);
int16_t G711AlawToLinear(uint8_t code);
uint8_t G711LinearToUlaw(int16_t sample);
int16_t G711UlawToLinear(uint8_t code);

// A-law code of linear 0: the byte recordings use for silence.
constexpr uint8_t kG711AlawSilence = 0xD5;
