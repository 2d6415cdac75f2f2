// Writes the bits of hand-made H.264 and HEVC streams for the decoder tests:
// fixed-length and Exp-Golomb codes, RBSP trailing bits, and NAL units with a
// start code and emulation prevention.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <vector>

namespace testbits {

class BitWriter {
 public:
  // The n low bits of v, the most significant first (u(n)).
  void U(int n, uint64_t v) {
    if (n < 0 || n > 64) std::abort();  // a value and a width the wrong way round
    for (int i = n - 1; i >= 0; --i) Bit((v >> i) & 1);
  }
  void Ue(uint64_t v) {
    uint64_t x = v + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    U(len, 0);
    U(len + 1, x);
  }
  void Se(int64_t v) { Ue(v > 0 ? 2 * static_cast<uint64_t>(v) - 1 : 2 * static_cast<uint64_t>(-v)); }
  void Bit(int b) {
    if (bits_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
    ++bits_;
  }
  void Bytes(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) U(8, p[i]);
  }
  // Zero bits up to the next byte.
  void Align() {
    while (bits_ % 8) Bit(0);
  }
  // rbsp_trailing_bits
  void Trailing() {
    Bit(1);
    Align();
  }
  bool Aligned() const { return bits_ % 8 == 0; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t bits_ = 0;
};

// RBSP bytes with emulation_prevention_three_byte inserted, as they stand
// after a non-zero byte.
inline std::vector<uint8_t> Escape(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out;
  out.reserve(rbsp.size() + rbsp.size() / 2);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

// A NAL unit: a four-byte start code, the header (whose last byte is not
// zero) and the escaped RBSP.
inline std::vector<uint8_t> NalUnit(std::initializer_list<uint8_t> header, const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out = {0, 0, 0, 1};
  out.insert(out.end(), header);
  std::vector<uint8_t> body = Escape(rbsp);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace testbits
