// A test-only HEVC stream writer for what x265 never writes: tiles, PCM with
// loop filtering, long-term references, list modification, dependent slice
// segments, wavefront slices that start mid-row, 15 references, vectors far
// outside the picture. It codes whole CTBs as single coding units without
// residual: PCM, intra-predicted, skipped or motion-compensated with random
// (seeded) choices, so the pictures carry texture from PCM and everything
// else is prediction and in-loop filtering. ffmpeg is the oracle of what it
// writes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/codecs/hevc/hevc_test_util.h"

namespace hevc_test {

struct LongTermRef {
  int poc;  // full POC of the picture
  bool used = true;
  bool msbPresent = false;
};

struct SlicePlan {
  int firstTs = 0;  // first CTB, in tile scan
  bool dependent = false;
  bool deblockingOverride = false, deblockingDisabled = false;
  int betaDiv2 = 0, tcDiv2 = 0;
  bool lfAcrossSlices = true;
};

struct PicturePlan {
  int nalType = 1;    // 19 IDR_W_RADL, 1 TRAIL_R, ...
  int sliceType = 1;  // 0 B, 1 P, 2 I
  int poc = 0;
  std::vector<std::pair<int, bool>> stRefs;  // POC delta, used by the current picture
  std::vector<LongTermRef> ltRefs;
  int numRefL0 = 1, numRefL1 = 1;
  std::vector<int> listEntryL0, listEntryL1;  // list modification when not empty
  bool tmvp = true, collocatedFromL0 = true, mvdL1Zero = false;
  int collocatedRefIdx = 0;
  int maxMergeCand = 5;
  int qp = 32;
  bool saoLuma = true, saoChroma = true;
  std::vector<SlicePlan> slices = {SlicePlan{}};
};

struct StreamPlan {
  VpsFields vps;
  SpsFields sps;  // CTBs are one coding unit each: minimum CB size = CTB size (16 or 32)
  PpsFields pps;
  // what a CTB of a P or B picture becomes, in percent (the rest: motion
  // with a difference); I pictures take PCM or intra prediction
  int pcmPercent = 30, intraPercent = 10, skipPercent = 25, mergePercent = 15;
  int bypassPercent = 0;     // cu_transquant_bypass_flag, when the PPS allows it
  int bigMvPercent = 0;      // differences that reach far outside the picture
  bool saoTypesOff = false;  // every CTB without SAO, the stream otherwise the same
  uint32_t seed = 1;
  std::vector<PicturePlan> pictures;
};

std::vector<uint8_t> WriteStream(const StreamPlan& plan);

// The named cases of hevc_write_stream.
std::vector<std::string> WriterCaseNames();
bool WriterCase(const std::string& name, StreamPlan* plan);

}  // namespace hevc_test
