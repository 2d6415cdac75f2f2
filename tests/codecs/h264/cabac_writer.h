// The CABAC arithmetic encoder (clause 9.3.4) for hand-made CABAC slices in
// the decoder tests: bins are written with the context indexes a test names.
#pragma once

#include <algorithm>
#include <cstdint>

#include "codecs/h264/h264_cabac.h"
#include "tests/codecs/h264/stream_builder.h"

namespace h264test {

class CabacWriter {
 public:
  // Contexts of a slice with QP `qp`: I-slice values for initIdc -1, else
  // those of cabac_init_idc. Writes cabac_alignment_one_bit first.
  CabacWriter(BitWriter& w, int qp, int initIdc) : w_(w) {
    while (!w_.Aligned()) w_.Bit(1);
    const int8_t(*table)[2] = initIdc < 0 ? kH264CabacInitI : kH264CabacInitPB[initIdc];
    for (int i = 0; i < 460; ++i) {
      int pre = std::clamp(((table[i][0] * qp) >> 4) + table[i][1], 1, 126);
      state_[i] = pre <= 63 ? 63 - pre : pre - 64;
      mps_[i] = pre <= 63 ? 0 : 1;
    }
  }

  void Decision(int ctxIdx, int bin) {
    int& s = state_[ctxIdx];
    int lps = kH264CabacRangeLps[s][(range_ >> 6) & 3];
    range_ -= lps;
    if (bin != mps_[ctxIdx]) {
      low_ += range_;
      range_ = lps;
      if (s == 0) mps_[ctxIdx] = 1 - mps_[ctxIdx];
      s = kH264CabacTransIdx[s][0];
    } else {
      s = kH264CabacTransIdx[s][1];
    }
    Renorm();
  }

  void Bypass(int bin) {
    low_ <<= 1;
    if (bin) low_ += range_;
    if (low_ >= 1024) {
      Put(1);
      low_ -= 1024;
    } else if (low_ < 512) {
      Put(0);
    } else {
      low_ -= 512;
      ++outstanding_;
    }
  }

  // A terminate bin; 1 flushes the encoder (its last bit is the stop bit of
  // the slice data or the end before I_PCM samples).
  void Terminate(int bin) {
    range_ -= 2;
    if (!bin) {
      Renorm();
      return;
    }
    low_ += range_;
    range_ = 2;
    Renorm();
    Put((low_ >> 9) & 1);
    w_.Bit((low_ >> 8) & 1);
    w_.Bit(1);
  }

 private:
  void Renorm() {
    while (range_ < 256) {
      if (low_ < 256) {
        Put(0);
      } else if (low_ >= 512) {
        low_ -= 512;
        Put(1);
      } else {
        low_ -= 256;
        ++outstanding_;
      }
      range_ <<= 1;
      low_ <<= 1;
    }
  }
  void Put(int b) {
    if (first_)
      first_ = false;
    else
      w_.Bit(b);
    for (; outstanding_ > 0; --outstanding_) w_.Bit(1 - b);
  }

  BitWriter& w_;
  int state_[460];
  int mps_[460];
  uint32_t low_ = 0;
  uint32_t range_ = 510;
  int outstanding_ = 0;
  bool first_ = true;
};

}  // namespace h264test
