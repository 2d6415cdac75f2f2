// The CABAC arithmetic encoder that H.264 and HEVC share, for hand-made
// CABAC slices in the decoder tests. The codec supplies its context
// initialisation values and its state tables; the engine codes the bins.
#pragma once

#include <algorithm>
#include <cstdint>

#include "tests/common/bit_writer.h"

namespace testbits {

// A context variable: probability state and most probable symbol.
struct CabacContext {
  uint8_t state = 0;
  uint8_t mps = 0;

  // From the initialisation values m and n at slice QP qp.
  void Init(int m, int n, int qp) {
    const int pre = std::clamp(((m * qp) >> 4) + n, 1, 126);
    state = static_cast<uint8_t>(pre <= 63 ? 63 - pre : pre - 64);
    mps = pre <= 63 ? 0 : 1;
  }
};

class CabacEncoder {
 public:
  explicit CabacEncoder(BitWriter* out) : out_(out) {}
  // Writes to another bit writer from here on (the next substream).
  void Bind(BitWriter* out) { out_ = out; }
  // The engine's state at the start of a slice or substream.
  void Start() {
    low_ = 0;
    range_ = 510;
    first_ = true;
    outstanding_ = 0;
  }

  // A bin coded with context c. Tables gives the codec's rangeTabLps
  // (RangeLps(state, qRangeIdx)) and transIdxLps/transIdxMps (NextLps,
  // NextMps).
  template <class Tables>
  void Decision(CabacContext& c, int bin) {
    int s = c.state;
    const uint32_t lps = Tables::RangeLps(s, (range_ >> 6) & 3);
    range_ -= lps;
    if (bin != c.mps) {
      low_ += range_;
      range_ = lps;
      if (s == 0) c.mps = static_cast<uint8_t>(1 - c.mps);
      s = Tables::NextLps(s);
    } else {
      s = Tables::NextMps(s);
    }
    c.state = static_cast<uint8_t>(s);
    Renorm();
  }

  void Bypass(int bin) {
    low_ <<= 1;
    if (bin) low_ += range_;
    if (low_ >= 1024) {
      PutBit(1);
      low_ -= 1024;
    } else if (low_ < 512) {
      PutBit(0);
    } else {
      low_ -= 512;
      ++outstanding_;
    }
  }
  // The n low bits of v as bypass bins, the most significant first.
  void Bypasses(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) Bypass((v >> i) & 1);
  }

  // A terminating bin; 1 flushes the engine, and the last bit it writes is
  // the 1 that stops the slice data (or the substream, or comes before
  // PCM samples).
  void Terminate(int bin) {
    range_ -= 2;
    if (!bin) {
      Renorm();
      return;
    }
    low_ += range_;
    range_ = 2;
    Renorm();
    PutBit((low_ >> 9) & 1);
    out_->U(2, ((low_ >> 7) & 3) | 1);
  }

 private:
  void Renorm() {
    while (range_ < 256) {
      if (low_ < 256) {
        PutBit(0);
      } else if (low_ >= 512) {
        low_ -= 512;
        PutBit(1);
      } else {
        low_ -= 256;
        ++outstanding_;
      }
      range_ <<= 1;
      low_ <<= 1;
    }
  }
  void PutBit(int b) {
    if (first_)
      first_ = false;
    else
      out_->Bit(b);
    for (; outstanding_ > 0; --outstanding_) out_->Bit(1 - b);
  }

  BitWriter* out_;
  uint32_t low_ = 0, range_ = 510;
  bool first_ = true;
  int outstanding_ = 0;
};

}  // namespace testbits
