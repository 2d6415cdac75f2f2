// vdec's H.264 backend: access units cut from the stream, the decoder made
// from the first SPS of a unit and made again when the size changes, all four
// crops applied, and decoding stopped when the sink says so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/h264/h264dec.h"
#include "tests/codecs/h264/stream_builder.h"
#include "tools/vdec/backend.h"

using namespace h264test;

namespace {

// An IDR picture of DC macroblocks (flat 128) behind an access unit
// delimiter, its SPS and PPS.
std::vector<uint8_t> Picture(const Sps& sps, int idrPicId) {
  std::vector<uint8_t> s;
  Append(s, Nal(0, 9, {0x10}));
  Append(s, sps.Build());
  Append(s, Pps{}.Build());
  SliceHeader h;
  h.idrPicId = static_cast<uint64_t>(idrPicId);
  Append(s, DcPicture(h, static_cast<int>((sps.widthMbsMinus1 + 1) * (sps.heightMapUnitsMinus1 + 1))));
  return s;
}

struct Seen {
  int width, height;
  bool flat;
};

}  // namespace

TEST(H264Backend, AccessUnitsSizeChangesAndCropping) {
  Sps small;
  Sps large;
  large.widthMbsMinus1 = 2;
  large.crop = true;
  large.cropLeft = 1;
  large.cropRight = 2;
  large.cropTop = 3;
  large.cropBottom = 1;
  std::vector<uint8_t> stream;
  Append(stream, Picture(small, 0));
  Append(stream, Picture(small, 1));
  Append(stream, Picture(large, 0));
  Append(stream, Picture(large, 1));
  Append(stream, Picture(large, 0));

  auto backend = vdec::MakeH264Backend(vdec::Options{});
  ASSERT_TRUE(backend);
  std::vector<Seen> seen;
  std::string error;
  int rc = backend->Run(stream.data(), stream.size(), [&](const vdec::Picture& p) {
    bool flat = true;
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) flat = flat && p.plane[0][y * p.stride[0] + x] == 128;
    seen.push_back({p.width, p.height, flat});
    return true;
  }, error);
  EXPECT_EQ(rc, 0) << error;
  ASSERT_EQ(seen.size(), 5u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(seen[i].width, 32);
    EXPECT_EQ(seen[i].height, 32);
  }
  for (int i = 2; i < 5; ++i) {
    EXPECT_EQ(seen[i].width, 48 - 2 - 4);
    EXPECT_EQ(seen[i].height, 32 - 6 - 2);
  }
  for (const Seen& s : seen) EXPECT_TRUE(s.flat);

  // The sink stops decoding.
  int count = 0;
  auto again = vdec::MakeH264Backend(vdec::Options{});
  rc = again->Run(stream.data(), stream.size(), [&](const vdec::Picture&) { return ++count < 3; }, error);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(count, 3);
}

// An MBAFF sequence after a picture of a field sequence: the error comes
// back with its code and a message.
TEST(H264Backend, StreamErrorsAreReportedWithTheirCode) {
  Sps sps;
  sps.frameMbsOnly = 0;
  std::vector<uint8_t> stream;
  Append(stream, sps.Build());
  Append(stream, Pps{}.Build());
  SliceHeader h;
  h.fieldPic = 1;
  Append(stream, DcPicture(h, 2));
  sps.mbaff = 1;
  Append(stream, sps.Build());
  Append(stream, Pps{}.Build());
  h.fieldPic = 0;
  h.idrPicId = 1;
  Append(stream, DcPicture(h));
  auto backend = vdec::MakeH264Backend(vdec::Options{});
  std::string error;
  int pictures = 0;
  int rc = backend->Run(stream.data(), stream.size(), [&](const vdec::Picture&) { return ++pictures, true; }, error);
  EXPECT_EQ(rc, 0x2000000b);
  EXPECT_EQ(error, "MBAFF is not supported");
  EXPECT_EQ(pictures, 1);
}
