// Field pictures from the tests' own stream builder, decoded by the decoder
// and by ffmpeg and compared byte for byte: field pairs in either order,
// references across IDR pictures and marking commands, B field pairs with
// both direct modes, frames and fields mixed, several slices per field. The
// decoder also gives the same pictures with its worker threads. Then the
// output deinterlacer on still and moving interlaced pictures.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "codecs/h264/h264dec.h"
#include "tests/codecs/h264/cabac_writer.h"
#include "tests/codecs/h264/stream_builder.h"
#include "tests/common/temp_dir.h"
#include "tools/common/read_file.h"

using namespace h264test;

namespace {

constexpr int kWidthMbs = 3;
constexpr int kFrameRowsMbs = 4;

enum class Kind { Pcm, Skip, Inter, Direct };

struct Mb {
  Kind kind;
  int lists = 1;  // Inter: 1 list 0, 2 list 1, 3 both
  int ref[2] = {0, 0};
  int mvd[2][2] = {{0, 0}, {0, 0}};
};

// One coded picture: a frame (structure 0) or a field (1 top, 2 bottom).
struct Pic {
  int structure = 1;
  char type = 'I';
  bool idr = false;
  int refIdc = 1;
  int frameNum = 0;
  int pocLsb = 0;
  int refsL0 = 1, refsL1 = 1;
  int directSpatial = 1;
  std::vector<std::array<uint64_t, 3>> mmco;
  int slices = 1;
  bool cabac = false;  // CABAC: I pictures of I_PCM, P and B pictures all skipped
};

// Picture content by frame position, when set: (picture, plane, x, y).
using ContentFn = uint8_t (*)(int, int, int, int);
ContentFn g_content = nullptr;

// Sample pattern of an I_PCM macroblock: a slope with texture, different per
// picture and macroblock.
uint8_t PcmSample(int seed, int mb, int i) {
  int x = i % 16, y = i / 16;
  return static_cast<uint8_t>(1 + (x * 9 + y * 5 + seed * 37 + mb * 53 + ((x * y + seed) % 11) * 7) % 254);
}

// The macroblocks of a picture: I pictures are all I_PCM; P and B pictures
// mix inter macroblocks with varied references and vectors, skipped ones
// and one I_PCM macroblock.
std::vector<Mb> Macroblocks(const Pic& p, int count, int seed) {
  std::vector<Mb> mbs;
  for (int i = 0; i < count; ++i) {
    Mb m{Kind::Pcm};
    if (p.type != 'I' && i != count - 2) {
      int r = (i + seed) % 4;
      m.kind = r == 1 ? Kind::Skip : (p.type == 'B' && r == 3) ? Kind::Direct : Kind::Inter;
      m.lists = p.type == 'B' ? 1 + (i + seed) % 3 : 1;
      m.ref[0] = (i + seed) % p.refsL0;
      m.ref[1] = (i * 2 + seed) % p.refsL1;
      for (int l = 0; l < 2; ++l) {
        m.mvd[l][0] = ((i * 7 + seed * 3 + l * 5) % 19) - 9;
        m.mvd[l][1] = ((i * 5 + seed * 11 + l * 3) % 15) - 7;
      }
    }
    mbs.push_back(m);
  }
  return mbs;
}

void RefIdx(BitWriter& w, int refs, int value) {
  if (refs == 2) w.Bit(!value);
  if (refs > 2) w.Ue(static_cast<uint64_t>(value));
}

std::vector<uint8_t> Slices(const Pic& p, int seed) {
  int rows = p.structure ? kFrameRowsMbs / 2 : kFrameRowsMbs;
  int count = kWidthMbs * rows;
  std::vector<Mb> mbs = Macroblocks(p, count, seed);
  std::vector<uint8_t> out;
  int per = count / p.slices;
  for (int s = 0; s < p.slices; ++s) {
    int first = s * per, end = s + 1 == p.slices ? count : first + per;
    SliceHeader h;
    h.idr = p.idr;
    h.refIdc = p.refIdc;
    h.firstMb = static_cast<uint64_t>(first);
    h.sliceType = p.type == 'I' ? 7 : p.type == 'P' ? 5 : 6;
    h.frameNum = static_cast<uint64_t>(p.frameNum);
    h.idrPicId = 0;
    h.pocType = 0;
    h.pocLsb = static_cast<uint64_t>(p.pocLsb);
    h.fieldPic = p.structure ? 1 : 0;
    h.bottomField = p.structure == 2;
    h.directSpatial = p.directSpatial;
    h.overrideRefs = p.type != 'I';
    h.refsL0Minus1 = static_cast<uint64_t>(p.refsL0 - 1);
    h.refsL1Minus1 = static_cast<uint64_t>(p.refsL1 - 1);
    h.mmco = p.mmco;
    h.qpDelta = 2;
    h.ppsId = p.cabac ? 1 : 0;
    h.cabac = p.cabac;
    BitWriter w;
    h.Write(w);
    if (p.cabac) {
      CabacWriter c(w, 28, p.type == 'I' ? -1 : 0);
      for (int i = first; i < end; ++i) {
        if (p.type == 'I') {
          // mb_type I_PCM: the first bin's context counts the neighbours in
          // the slice (none of them I_NxN), then a terminating 1.
          int x = i % kWidthMbs, inc = (x > 0 && i > first) + (i - kWidthMbs >= first);
          c.Decision(3 + inc, 1);
          c.Terminate(1);
          w.Align();
          for (int k = 0; k < 384; ++k) w.U(8, PcmSample(seed, i, k));
          c.Restart();
        } else {
          c.Decision(p.type == 'P' ? 11 : 24, 1);  // mb_skip_flag; no neighbour is coded
        }
        c.Terminate(i + 1 == end);
      }
      w.Align();
      Append(out, Nal(h.refIdc, h.idr ? 5 : 1, w.bytes()));
      continue;
    }
    int skipRun = 0;
    for (int i = first; i < end; ++i) {
      const Mb& m = mbs[static_cast<size_t>(i)];
      if (m.kind == Kind::Skip) {
        ++skipRun;
        continue;
      }
      if (p.type != 'I') {
        w.Ue(static_cast<uint64_t>(skipRun));
        skipRun = 0;
      }
      if (m.kind == Kind::Pcm) {
        w.Ue(p.type == 'I' ? 25 : p.type == 'P' ? 30 : 48);
        w.Align();
        for (int k = 0; k < 384; ++k) {
          if (!g_content) {
            w.U(8, PcmSample(seed, i, k));
            continue;
          }
          // The sample's place in the frame: field rows are every other line.
          int plane = k < 256 ? 0 : k < 320 ? 1 : 2, size = plane ? 8 : 16, at = plane ? (k - 256) % 64 : k;
          int x = (i % kWidthMbs) * size + at % size, row = (i / kWidthMbs) * size + at / size;
          int y = p.structure ? 2 * row + (p.structure - 1) : row;
          w.U(8, g_content(seed, plane, x, y));
        }
        continue;
      }
      if (m.kind == Kind::Direct) {
        w.Ue(0);  // B_Direct_16x16
        w.Ue(0);  // coded_block_pattern 0
        continue;
      }
      w.Ue(p.type == 'P' ? 0 : static_cast<uint64_t>(m.lists));  // P_L0_16x16, B_L0/L1/Bi_16x16
      for (int l = 0; l < 2; ++l)
        if (m.lists >> l & 1) RefIdx(w, l ? p.refsL1 : p.refsL0, m.ref[l]);
      for (int l = 0; l < 2; ++l)
        if (m.lists >> l & 1) {
          w.Se(m.mvd[l][0]);
          w.Se(m.mvd[l][1]);
        }
      w.Ue(0);  // coded_block_pattern 0
    }
    if (skipRun) w.Ue(static_cast<uint64_t>(skipRun));
    Append(out, SliceNal(h, w));
  }
  return out;
}

std::vector<uint8_t> Build(const std::vector<Pic>& pics) {
  Sps sps;
  sps.profile = 77;
  sps.pocType = 0;
  sps.log2MaxPocLsbMinus4 = 2;
  sps.maxRefFrames = 4;
  sps.widthMbsMinus1 = kWidthMbs - 1;
  sps.heightMapUnitsMinus1 = kFrameRowsMbs / 2 - 1;
  sps.frameMbsOnly = 0;
  sps.direct8x8 = 1;
  std::vector<uint8_t> stream;
  Append(stream, sps.Build());
  Append(stream, Pps{}.Build());
  Pps cabac;
  cabac.id = 1;
  cabac.cabac = 1;
  Append(stream, cabac.Build());
  int seed = 1;
  for (const Pic& p : pics) Append(stream, Slices(p, seed++));
  return stream;
}

// The decoder's pictures in display order as planar I420 frames.
std::vector<uint8_t> DecodeOurs(const std::vector<uint8_t>& stream, uint32_t flags, int* frames, int* error) {
  H264DecParam param{};
  param.widthMbs = kWidthMbs;
  param.heightMbs = 6;
  param.refFrames = 4;
  param.flags = flags | H264DEC_FLAG_DISPLAY_ORDER;
  H264DecContext* ctx = H264Dec_Create(&param);
  std::vector<uint8_t> out;
  *frames = 0;
  *error = 0;
  auto take = [&](const H264DecFrame& f) {
    ++*frames;
    for (int c = 0; c < 3; ++c) {
      const uint8_t* plane = c == 0 ? f.y : c == 1 ? f.u : f.v;
      int stride = c ? f.chromaStride : f.lumaStride, w = c ? f.width / 2 : f.width, h = c ? f.height / 2 : f.height;
      for (int r = 0; r < h; ++r) out.insert(out.end(), plane + r * stride, plane + r * stride + w);
    }
    if (int e = H264Dec_GetError(ctx); e && !*error) *error = e;
  };
  H264DecFrame f;
  int rc = H264Dec_Decode(ctx, stream.data(), static_cast<uint32_t>(stream.size()), 0, 0, &f, 0);
  for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0)) take(f);
  while (H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE) take(f);
  if (int e = H264Dec_GetError(ctx); e && !*error) *error = e;
  H264Dec_Destroy(ctx);
  return out;
}

bool HaveFfmpeg() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

std::vector<uint8_t> DecodeFfmpeg(const std::vector<uint8_t>& stream) {
  TempDir dir("h264_fields");
  {
    std::ofstream f(dir / "in.264", std::ios::binary);
    f.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
  }
  std::string cmd = "ffmpeg -nostdin -v error -threads 1 -i " + (dir / "in.264") +
                    " -fps_mode passthrough -f rawvideo -pix_fmt yuv420p -y " + (dir / "out.yuv");
  if (std::system(cmd.c_str()) != 0) return {};
  return tools::ReadFile(dir / "out.yuv");
}

struct FieldCase {
  const char* name;
  std::vector<Pic> pics;
  int frames;  // pictures expected
};

Pic F(int structure, char type, int frameNum, int poc, int refIdc = 1) {
  Pic p;
  p.structure = structure;
  p.type = type;
  p.frameNum = frameNum;
  p.pocLsb = poc;
  p.refIdc = refIdc;
  p.idr = false;
  return p;
}

Pic Idr(int structure, int poc = 0) {
  Pic p = F(structure, 'I', 0, poc);
  p.idr = true;
  return p;
}

Pic Refs(Pic p, int l0, int l1 = 1) {
  p.refsL0 = l0;
  p.refsL1 = l1;
  return p;
}

Pic With(Pic p, void (*edit)(Pic&)) {
  edit(p);
  return p;
}

std::vector<FieldCase> Cases() {
  std::vector<FieldCase> c;
  // I top field, P bottom field from it, then P field pairs with up to four
  // reference fields of both parities.
  c.push_back({"top field first",
               {Idr(1), Refs(F(2, 'P', 0, 1), 1), Refs(F(1, 'P', 1, 4), 2), Refs(F(2, 'P', 1, 5), 3),
                Refs(F(1, 'P', 2, 8), 4), Refs(F(2, 'P', 2, 9), 4)},
               3});
  c.push_back({"bottom field first",
               {Idr(2), Refs(F(1, 'P', 0, 1), 1), Refs(F(2, 'P', 1, 4), 2), Refs(F(1, 'P', 1, 5), 3),
                Refs(F(2, 'P', 2, 8), 4), Refs(F(1, 'P', 2, 9), 4)},
               3});
  c.push_back({"several slices per field",
               {With(Idr(1), [](Pic& p) { p.slices = 2; }), With(Refs(F(2, 'P', 0, 1), 1), [](Pic& p) { p.slices = 3; }),
                With(Refs(F(1, 'P', 1, 4), 2), [](Pic& p) { p.slices = 2; }),
                With(Refs(F(2, 'P', 1, 5), 3), [](Pic& p) { p.slices = 6; })},
               2});
  // A second IDR drops the references before it; marking commands make both
  // fields of a frame long-term (4, then 3 on each field) and unmark a field
  // (1); later fields refer to them. (Command 6 on both fields of a pair is
  // left out: ffmpeg drops the first field's marking when the second field
  // repeats the index, as the standard requires it to.)
  c.push_back({"references across IDR and marking commands",
               {Idr(1), Refs(F(2, 'P', 0, 1), 1), Refs(F(1, 'P', 1, 4), 2), Refs(F(2, 'P', 1, 5), 3),
                Idr(1, 8), Refs(F(2, 'P', 0, 9), 1),
                With(Refs(F(1, 'P', 1, 12), 2), [](Pic& p) { p.mmco = {{4, 2, 0}, {3, 1, 0}, {3, 2, 0}}; }),
                Refs(F(2, 'P', 1, 13), 3),
                With(Refs(F(1, 'P', 2, 16), 4), [](Pic& p) { p.mmco = {{1, 1, 0}}; }), Refs(F(2, 'P', 2, 17), 4),
                Refs(F(1, 'P', 3, 20), 4), Refs(F(2, 'P', 3, 21), 4)},
               6});
  // B field pairs between two reference field pairs, spatial and temporal
  // direct, in display order before the later reference pair.
  for (int spatial : {1, 0}) {
    auto b = [spatial](int structure, int poc) {
      Pic p = Refs(F(structure, 'B', 2, poc, 0), 3, 2);
      p.directSpatial = spatial;
      return p;
    };
    c.push_back({spatial ? "B field pairs, spatial direct" : "B field pairs, temporal direct",
                 {Idr(1), Refs(F(2, 'P', 0, 1), 1), Refs(F(1, 'P', 1, 12), 2), Refs(F(2, 'P', 1, 13), 3), b(1, 4),
                  b(2, 5), b(1, 8), b(2, 9)},
                 4});
  }
  // CABAC field slices: I_PCM fields, skipped P fields from either parity
  // and skipped B fields (both direct modes), two slices per field.
  for (int spatial : {1, 0}) {
    auto cabac = [spatial](Pic p) {
      p.cabac = true;
      p.slices = 2;
      p.directSpatial = spatial;
      return p;
    };
    c.push_back({spatial ? "CABAC fields, spatial direct" : "CABAC fields, temporal direct",
                 {cabac(Idr(1)), cabac(Refs(F(2, 'P', 0, 1), 1)), cabac(Refs(F(1, 'P', 1, 12), 2)),
                  cabac(Refs(F(2, 'P', 1, 13), 3)), cabac(Refs(F(1, 'B', 2, 4, 0), 3, 2)),
                  cabac(Refs(F(2, 'B', 2, 5, 0), 3, 2))},
                 3});
  }
  // Frames and fields mixed: a P frame after field pairs; a B frame and a B
  // field pair whose co-located picture is that frame; a B frame whose
  // co-located picture is a field pair.
  for (int spatial : {1, 0}) {
    auto b = [spatial](int structure, int frameNum, int poc, int l0, int l1) {
      Pic p = Refs(F(structure, 'B', frameNum, poc, 0), l0, l1);
      p.directSpatial = spatial;
      return p;
    };
    c.push_back({spatial ? "frames and fields mixed, spatial direct" : "frames and fields mixed, temporal direct",
                 {Idr(1), Refs(F(2, 'P', 0, 1), 1), Refs(F(1, 'P', 1, 4), 2), Refs(F(2, 'P', 1, 5), 3),
                  Refs(F(0, 'P', 2, 16), 2), b(0, 3, 8, 2, 1), b(1, 3, 10, 3, 2), b(2, 3, 11, 3, 2),
                  Refs(F(1, 'P', 3, 28), 4), Refs(F(2, 'P', 3, 29), 4), b(0, 4, 20, 3, 1)},
                 7});
  }
  return c;
}

}  // namespace

TEST(H264Fields, BuilderStreamsMatchFfmpeg) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  for (const FieldCase& fc : Cases()) {
    SCOPED_TRACE(fc.name);
    std::vector<uint8_t> stream = Build(fc.pics);
    int frames = 0, error = 0;
    std::vector<uint8_t> ours = DecodeOurs(stream, 0, &frames, &error);
    EXPECT_EQ(error, 0) << std::hex << error;
    EXPECT_EQ(frames, fc.frames);
    std::vector<uint8_t> ref = DecodeFfmpeg(stream);
    ASSERT_EQ(ref.size(), ours.size());
    size_t first = 0;
    while (first < ref.size() && ref[first] == ours[first]) ++first;
    size_t frameSize = kWidthMbs * kFrameRowsMbs * 384, w = 16 * kWidthMbs;
    size_t at = first % frameSize;
    EXPECT_EQ(first, ref.size()) << "first difference in frame " << first / frameSize << ", "
                                 << (at < 256 * kWidthMbs * kFrameRowsMbs
                                         ? "luma line " + std::to_string(at / w) + " column " + std::to_string(at % w)
                                         : "chroma");
    int threadedFrames = 0, threadedError = 0;
    EXPECT_EQ(DecodeOurs(stream, H264DEC_FLAG_THREADS, &threadedFrames, &threadedError), ours);
  }
}

// A first field without its partner is output alone as the frame of its
// buffer: its own lines are the decoded field; the next pair is complete.
TEST(H264Fields, UnpairedFieldIsOutputAlone) {
  std::vector<uint8_t> stream = Build({Idr(1), Refs(F(2, 'P', 0, 1), 1), Refs(F(1, 'P', 1, 4), 2),
                                       Refs(F(1, 'P', 2, 8), 2), Refs(F(2, 'P', 2, 9), 3)});
  for (uint32_t flags : {0u, static_cast<uint32_t>(H264DEC_FLAG_THREADS)}) {
    int frames = 0, error = 0;
    std::vector<uint8_t> out = DecodeOurs(stream, flags, &frames, &error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(frames, 3);
  }
}

namespace {

constexpr int kW = 16 * kWidthMbs, kH = 16 * kFrameRowsMbs;

// Still content, or content that changes completely from one frame to the
// next (dark and bright in turn); the first argument counts coded pictures
// from 1.
uint8_t Still(int, int plane, int x, int y) { return static_cast<uint8_t>(40 + (x * 3 + y * 5 + plane * 17) % 150); }
uint8_t Moving(int seed, int plane, int x, int y) {
  int frame = (seed - 1) / 2;  // two fields per frame
  return static_cast<uint8_t>((frame & 1 ? 200 : 20) + (x * 7 + y * 3 + plane * 5) % 40);
}

// Decodes I pictures (frames or field pairs) without and with the
// deinterlacer; returns the frames of both.
void DecodeBoth(const std::vector<Pic>& pics, ContentFn content, std::vector<std::vector<uint8_t>>* raw,
                std::vector<std::vector<uint8_t>>* out) {
  g_content = content;
  std::vector<uint8_t> stream = Build(pics);
  g_content = nullptr;
  for (uint32_t flags : {0u, static_cast<uint32_t>(H264DEC_FLAG_DEINTERLACE)}) {
    int frames = 0, error = 0;
    std::vector<uint8_t> all = DecodeOurs(stream, flags, &frames, &error);
    EXPECT_EQ(error, 0);
    auto* dst = flags ? out : raw;
    size_t size = static_cast<size_t>(kW) * kH * 3 / 2;
    for (size_t off = 0; off + size <= all.size(); off += size)
      dst->emplace_back(all.begin() + static_cast<ptrdiff_t>(off), all.begin() + static_cast<ptrdiff_t>(off + size));
  }
  ASSERT_EQ(raw->size(), out->size());
}

// I field pairs, each picture its own IDR-free reference pair.
std::vector<Pic> FieldPairs(int n) {
  std::vector<Pic> pics;
  for (int i = 0; i < n; ++i) {
    Pic top = i ? F(1, 'I', i % 16, (4 * i) % 64) : Idr(1);
    Pic bottom = F(2, 'I', i % 16, (4 * i + 1) % 64);
    pics.push_back(top);
    pics.push_back(bottom);
  }
  return pics;
}

inline uint8_t Y(const std::vector<uint8_t>& f, int x, int y) { return f[static_cast<size_t>(y) * kW + x]; }

// What every deinterlaced field pair shares: even lines and the first and
// last two lines from the source, chroma lines doubled, and the first and
// last two samples of each rebuilt line from the line above.
void CheckFixedParts(const std::vector<uint8_t>& raw, const std::vector<uint8_t>& out) {
  for (int x = 0; x < kW; ++x) {
    EXPECT_EQ(Y(out, x, 0), Y(raw, x, 0));
    EXPECT_EQ(Y(out, x, 1), Y(raw, x, 0));
    EXPECT_EQ(Y(out, x, kH - 2), Y(raw, x, kH - 2));
    EXPECT_EQ(Y(out, x, kH - 1), Y(raw, x, kH - 2));
    for (int y = 0; y < kH; y += 2) ASSERT_EQ(Y(out, x, y), Y(raw, x, y)) << x << "," << y;
  }
  for (int y = 3; y < kH - 2; y += 2)
    for (int x : {0, 1, kW - 2, kW - 1}) ASSERT_EQ(Y(out, x, y), Y(raw, x, y - 1)) << x << "," << y;
  size_t chroma = static_cast<size_t>(kW) * kH;
  for (int c = 0; c < 2; ++c)
    for (int y = 0; y < kH / 2; ++y)
      for (int x = 0; x < kW / 2; ++x) {
        size_t at = chroma + c * (kW / 2) * (kH / 2);
        ASSERT_EQ(out[at + static_cast<size_t>(y) * (kW / 2) + x], raw[at + static_cast<size_t>(y & ~1) * (kW / 2) + x]);
      }
}

// The edge-directed average of the lines above and below.
uint8_t Spatial(const std::vector<uint8_t>& raw, int x, int y) {
  int a0 = Y(raw, x, y - 1), b0 = Y(raw, x, y + 1);
  int d0 = std::abs(b0 - a0), d2 = std::abs(Y(raw, x - 1, y + 1) - Y(raw, x + 1, y - 1)),
      d1 = std::abs(Y(raw, x + 1, y + 1) - Y(raw, x - 1, y - 1));
  if (d0 <= d1 && d0 <= d2) return static_cast<uint8_t>((a0 + b0 + 1) >> 1);
  if (d2 <= d1) return static_cast<uint8_t>((Y(raw, x - 1, y + 1) + Y(raw, x + 1, y - 1) + 1) >> 1);
  return static_cast<uint8_t>((Y(raw, x + 1, y + 1) + Y(raw, x - 1, y - 1) + 1) >> 1);
}

}  // namespace

// A still scene: the first pictures are rebuilt spatially; from the fifth
// on every rebuilt line is the average of the current and previous
// pictures' own line, which here is the source itself.
TEST(H264Deinterlace, StillFieldPairsTurnTemporal) {
  std::vector<std::vector<uint8_t>> raw, out;
  DecodeBoth(FieldPairs(6), Still, &raw, &out);
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    CheckFixedParts(raw[i], out[i]);
    for (int y = 3; y < kH - 2; y += 2)
      for (int x = 2; x < kW - 2; ++x) {
        uint8_t want = i >= 4 ? Y(raw[i], x, y) : Spatial(raw[i], x, y);
        ASSERT_EQ(Y(out[i], x, y), want) << x << "," << y;
      }
  }
}

// Motion everywhere: every rebuilt line is the edge-directed average.
TEST(H264Deinterlace, MovingFieldPairsStaySpatial) {
  std::vector<std::vector<uint8_t>> raw, out;
  DecodeBoth(FieldPairs(6), Moving, &raw, &out);
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    CheckFixedParts(raw[i], out[i]);
    for (int y = 3; y < kH - 2; y += 2)
      for (int x = 2; x < kW - 2; ++x) ASSERT_EQ(Y(out[i], x, y), Spatial(raw[i], x, y)) << x << "," << y;
  }
}

// Frame pictures of an interlaced stream leave unchanged but age the
// counters: a still field pair after three still frames is rebuilt
// temporally at once.
TEST(H264Deinterlace, FramePicturesPassButAgeTheCounters) {
  std::vector<Pic> pics;
  for (int i = 0; i < 4; ++i) {
    Pic p = i ? F(0, 'I', i, 4 * i) : Idr(0);
    pics.push_back(p);
  }
  pics.push_back(F(1, 'I', 4, 16));
  pics.push_back(F(2, 'I', 4, 17));
  std::vector<std::vector<uint8_t>> raw, out;
  DecodeBoth(pics, Still, &raw, &out);
  ASSERT_EQ(out.size(), 5u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(out[i], raw[i]) << i;
  EXPECT_EQ(raw[4], raw[3]);  // the same woven picture as fields
  for (int y = 3; y < kH - 2; y += 2)
    for (int x = 2; x < kW - 2; ++x) ASSERT_EQ(Y(out[4], x, y), Y(raw[4], x, y)) << x << "," << y;
}

// With worker threads the statistics of each picture are those of the
// single-threaded decoder, and a decoder destroyed or reset while its
// workers still decode stops them first.
TEST(H264Workers, CountLikeOneThreadAndStopOnDestroyAndReset) {
  std::vector<Pic> pics = Cases()[2].pics;  // several slices per field
  for (Pic& p : pics) p.slices = 6;
  std::vector<uint8_t> stream = Build(pics);
  std::vector<std::vector<uint32_t>> stats[2];
  for (int threads : {0, 1}) {
    H264DecParam param{};
    param.widthMbs = kWidthMbs;
    param.heightMbs = 6;
    param.flags = threads ? uint32_t{H264DEC_FLAG_THREADS} : 0u;
    H264DecContext* ctx = H264Dec_Create(&param);
    ASSERT_NE(ctx, nullptr);
    H264DecFrame f;
    int rc = H264Dec_Decode(ctx, stream.data(), static_cast<uint32_t>(stream.size()), 0, 0, &f, 0);
    for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0))
      stats[threads].emplace_back(f.pictureInfo, f.pictureInfo + 10);
    while (H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE)
      stats[threads].emplace_back(f.pictureInfo, f.pictureInfo + 10);
    // Input again, then reset and destroy without draining.
    H264Dec_Decode(ctx, stream.data(), static_cast<uint32_t>(stream.size()), 0, 0, &f, 0);
    H264Dec_Reset(ctx);
    H264Dec_Decode(ctx, stream.data(), static_cast<uint32_t>(stream.size()), 0, 0, &f, 0);
    H264Dec_Destroy(ctx);
  }
  ASSERT_EQ(stats[0].size(), 2u);
  EXPECT_EQ(stats[0], stats[1]);
  EXPECT_EQ(stats[0][0][9], 7u);  // I_PCM: six in the I field, one in the P field
}
