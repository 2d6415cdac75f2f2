// CABAC slices by hand for the decoder tests: bins are written with the
// context indexes a test names.
#pragma once

#include <cstdint>

#include "codecs/h264/h264_cabac.h"
#include "tests/codecs/h264/stream_builder.h"
#include "tests/common/cabac_encoder.h"

namespace h264test {

class CabacWriter {
 public:
  // Contexts of a slice with QP `qp`: I-slice values for initIdc -1, else
  // those of cabac_init_idc. Writes cabac_alignment_one_bit first.
  CabacWriter(BitWriter& w, int qp, int initIdc) : engine_(&w) {
    while (!w.Aligned()) w.Bit(1);
    const int8_t(*table)[2] = initIdc < 0 ? kH264CabacInitI : kH264CabacInitPB[initIdc];
    for (int i = 0; i < 460; ++i) ctx_[i].Init(table[i][0], table[i][1], qp);
  }

  void Decision(int ctxIdx, int bin) { engine_.Decision<Tables>(ctx_[ctxIdx], bin); }
  void Bypass(int bin) { engine_.Bypass(bin); }
  // The engine starts afresh (after I_PCM samples); the contexts stay.
  void Restart() { engine_.Start(); }
  // A terminate bin; 1 flushes the encoder (its last bit is the stop bit of
  // the slice data or the end before I_PCM samples).
  void Terminate(int bin) { engine_.Terminate(bin); }

 private:
  struct Tables {
    static uint32_t RangeLps(int s, int q) { return kH264CabacRangeLps[s][q]; }
    static int NextLps(int s) { return kH264CabacTransIdx[s][0]; }
    static int NextMps(int s) { return kH264CabacTransIdx[s][1]; }
  };

  testbits::CabacEncoder engine_;
  testbits::CabacContext ctx_[460];
};

}  // namespace h264test
