// The worker threads against one thread on streams a live link or a hostile
// sender produces: repeated key frames, lost and cut pictures, errors inside
// slices, and slices that repeat, go back or run into the next one. Every
// stream gives the same pictures and the same first error either way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264dec.h"
#include "tests/codecs/h264/stream_builder.h"

using namespace h264test;

namespace {

constexpr int kSyntax = 0x40000000 + kH264MbSyntaxError;
constexpr int kRefLists = 0x30000005;  // a reference list without pictures

struct Result {
  std::vector<std::vector<uint8_t>> pictures;  // luma, Cb, Cr of each
  int error = 0;
};

Result Decode(const std::vector<uint8_t>& stream, uint32_t flags) {
  H264DecParam p{};
  p.widthMbs = 8;
  p.heightMbs = 8;
  p.refFrames = 4;
  p.flags = flags | H264DEC_FLAG_DISPLAY_ORDER;
  H264DecContext* ctx = H264Dec_Create(&p);
  Result r;
  auto take = [&](const H264DecFrame& f) {
    std::vector<uint8_t> pic;
    for (int y = 0; y < f.height; ++y) pic.insert(pic.end(), f.y + y * f.lumaStride, f.y + y * f.lumaStride + f.width);
    for (const uint8_t* plane : {f.u, f.v})
      for (int y = 0; y < f.height / 2; ++y)
        pic.insert(pic.end(), plane + y * f.chromaStride, plane + y * f.chromaStride + f.width / 2);
    r.pictures.push_back(std::move(pic));
    if (!r.error) r.error = H264Dec_GetError(ctx);
  };
  H264DecFrame f;
  int rc = H264Dec_Decode(ctx, stream.data(), static_cast<uint32_t>(stream.size()), 0, 0, &f, 0);
  for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0)) take(f);
  EXPECT_EQ(rc, H264DEC_NEED_INPUT);
  if (!r.error) r.error = H264Dec_GetError(ctx);
  while (H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE) take(f);
  if (!r.error) r.error = H264Dec_GetError(ctx);
  H264Dec_Destroy(ctx);
  return r;
}

// A 4x4-macroblock picture.
Sps Picture4x4() {
  Sps sps;
  sps.widthMbsMinus1 = 3;
  sps.heightMapUnitsMinus1 = 3;
  sps.maxRefFrames = 2;
  return sps;
}

// A slice header from macroblock `first` on, its type for all the picture.
SliceHeader Header(uint64_t first, uint64_t sliceType, bool idr, uint64_t frameNum) {
  SliceHeader h;
  h.firstMb = first;
  h.sliceType = sliceType;
  h.idr = idr;
  h.frameNum = frameNum;
  return h;
}

// An I slice of `count` I_PCM macroblocks from `first`, every sample `value`:
// which slice wrote a macroblock shows in its samples.
std::vector<uint8_t> PcmSlice(uint64_t first, int count, uint8_t value, bool idr = true, uint64_t frameNum = 0) {
  SliceHeader h = Header(first, 7, idr, frameNum);
  BitWriter w;
  h.Write(w);
  for (int i = 0; i < count; ++i) {
    w.Ue(25);
    w.Align();
    for (int k = 0; k < 384; ++k) w.U(8, value);
  }
  return SliceNal(h, w);
}

// A P slice that skips `count` macroblocks from `first`.
std::vector<uint8_t> SkipSlice(uint64_t first, int count, uint64_t frameNum) {
  SliceHeader h = Header(first, 5, false, frameNum);
  BitWriter w;
  h.Write(w);
  w.Ue(static_cast<uint64_t>(count));
  return SliceNal(h, w);
}

// An I slice of DC macroblocks from `first`; the last one's QP change is out
// of range when `broken`.
std::vector<uint8_t> DcSlice(uint64_t first, int count, bool broken = false) {
  SliceHeader h;
  h.firstMb = first;
  BitWriter w;
  h.Write(w);
  for (int i = 0; i < count; ++i) WriteDcMacroblock(w, broken && i == count - 1 ? 30 : 0);
  return SliceNal(h, w);
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& units) {
  std::vector<uint8_t> s;
  Append(s, Picture4x4().Build());
  Append(s, Pps{}.Build());
  for (const auto& u : units) Append(s, u);
  return s;
}

struct WorkerCase {
  std::string name;
  std::vector<uint8_t> stream;
  size_t pictures;
  int error;
};

std::vector<WorkerCase> Cases() {
  std::vector<WorkerCase> c;
  // A camera repeating its key frame: identical IDR pictures, each whole.
  std::vector<std::vector<uint8_t>> keys;
  for (int i = 0; i < 6; ++i) keys.push_back(PcmSlice(0, 16, static_cast<uint8_t>(40 + i)));
  c.push_back({"repeated_key_frames", Join(keys), 6, 0});
  keys.clear();
  for (int i = 0; i < 6; ++i) {
    keys.push_back(PcmSlice(0, 8, 90));
    keys.push_back(PcmSlice(8, 8, 91));
  }
  c.push_back({"repeated_key_frames_of_two_slices", Join(keys), 6, 0});
  // The key frame was lost: P pictures without a reference.
  c.push_back({"lost_first_picture", Join({SkipSlice(0, 16, 1), SkipSlice(0, 8, 2), SkipSlice(8, 8, 2)}), 2, kRefLists});
  // Slices of a picture missing: at its end, in its middle, its first.
  c.push_back({"cut_picture",
               Join({PcmSlice(0, 4, 60), PcmSlice(4, 4, 61), PcmSlice(0, 16, 62, false, 1), SkipSlice(4, 4, 2),
                     SkipSlice(12, 4, 2), SkipSlice(0, 16, 3)}),
               4, 0});
  // A broken macroblock in a later slice of a picture.
  c.push_back({"error_in_later_slice", Join({DcSlice(0, 4), DcSlice(4, 4), DcSlice(8, 4, true), DcSlice(12, 4)}), 1,
               kSyntax});
  c.push_back({"error_in_last_slice", Join({DcSlice(0, 8), DcSlice(8, 8, true)}), 1, kSyntax});
  // Slices of one picture that share macroblocks: what a later slice writes
  // stays.
  c.push_back({"slice_repeated", Join({PcmSlice(0, 2, 50), PcmSlice(2, 14, 100), PcmSlice(2, 14, 200)}), 1, 0});
  c.push_back({"slice_goes_back", Join({PcmSlice(8, 8, 100), PcmSlice(0, 8, 200), PcmSlice(4, 12, 30)}), 1, 0});
  c.push_back({"slice_runs_into_the_next", Join({PcmSlice(0, 16, 50), PcmSlice(2, 14, 200)}), 1, 0});
  // Parameter sets of another picture size between two slices of a
  // picture (8 macroblocks wide, then 4): the second slice starts a picture
  // of its own, not rows of the old one's size.
  Sps wide = Picture4x4();
  wide.widthMbsMinus1 = 7;
  wide.heightMapUnitsMinus1 = 1;
  std::vector<uint8_t> narrowed;
  Append(narrowed, wide.Build());
  Append(narrowed, Pps{}.Build());
  Append(narrowed, PcmSlice(0, 16, 50));
  Append(narrowed, SkipSlice(0, 4, 1));
  Append(narrowed, Picture4x4().Build());
  Append(narrowed, Pps{}.Build());
  Append(narrowed, SkipSlice(4, 12, 1));
  c.push_back({"picture_width_changes_between_slices", narrowed, 3, 0});
  c.push_back({"slices_run_into_the_next",
               Join({PcmSlice(0, 16, 50), PcmSlice(4, 12, 100), PcmSlice(8, 8, 150), PcmSlice(12, 4, 200)}), 1, 0});
  return c;
}

}  // namespace

TEST(H264Workers, SamePicturesAndErrorsAsOneThread) {
  for (const WorkerCase& wc : Cases()) {
    SCOPED_TRACE(wc.name);
    Result one = Decode(wc.stream, 0);
    EXPECT_EQ(one.pictures.size(), wc.pictures);
    EXPECT_EQ(one.error, wc.error) << std::hex << one.error;
    // Races show as a different picture now and then: a few runs.
    for (int run = 0; run < 4; ++run) {
      Result workers = Decode(wc.stream, H264DEC_FLAG_THREADS);
      EXPECT_EQ(workers.pictures.size(), one.pictures.size());
      if (workers.pictures.size() != one.pictures.size()) break;
      for (size_t i = 0; i < one.pictures.size(); ++i) EXPECT_TRUE(workers.pictures[i] == one.pictures[i]) << "picture " << i;
      EXPECT_EQ(workers.error, one.error) << std::hex << workers.error;
    }
  }
}
