// The vendored conformance streams through the decoder's interface (the
// MD5 of each frame stream is checked through vdec by conformance.sh):
// decoding order gives the pictures of display order, in decoding order,
// for frame and field streams alike.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/h264/h264_internal.h"
#include "codecs/h264/h264dec.h"
#include "tools/common/read_file.h"

namespace {

const std::string kDir = H264_CONFORMANCE_DIR;

struct StreamInfo {
  std::string name;
  int width = 0, height = 0;
};

std::vector<StreamInfo> ListStreams() {
  std::vector<StreamInfo> out;
  std::ifstream in(kDir + "/decoded_md5.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    StreamInfo s;
    std::string frames;
    std::getline(ls, s.name, '\t');
    std::getline(ls, frames, '\t');
    ls >> s.width >> s.height;
    if (!s.name.empty()) out.push_back(s);
  }
  return out;
}

using tools::ReadFile;

std::string Md5(const std::vector<uint8_t>& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr);
  std::string hex;
  char buf[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", digest[i]);
    hex += buf;
  }
  return hex;
}

std::string FirstFrameMd5(const std::string& name) {
  std::string base = name.substr(name.rfind('/') + 1);
  std::ifstream in(kDir + "/framemd5/" + base + ".md5");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    int idx;
    std::string md5;
    ls >> idx >> md5;
    return md5;
  }
  return "";
}

// The visible picture as planar I420.
std::vector<uint8_t> Cropped(const H264DecFrame& f) {
  std::vector<uint8_t> out;
  int w = f.width - f.cropLeft - f.cropRight, h = f.height - f.cropTop - f.cropBottom;
  for (int c = 0; c < 3; ++c) {
    const uint8_t* plane = c == 0 ? f.y : c == 1 ? f.u : f.v;
    int stride = c ? f.chromaStride : f.lumaStride, shift = c ? 1 : 0;
    int pw = (w + shift) >> shift, ph = (h + shift) >> shift;
    for (int r = 0; r < ph; ++r) {
      const uint8_t* row = plane + static_cast<ptrdiff_t>((f.cropTop >> shift) + r) * stride + (f.cropLeft >> shift);
      out.insert(out.end(), row, row + pw);
    }
  }
  return out;
}

struct Result {
  std::vector<std::vector<uint8_t>> pictures;
  int firstError = 0;
};

// Decodes with a context of the listed size, or of 1080p when cropping
// makes the coded picture larger; `prepare` sees the context first.
using Prepare = std::function<void(H264DecContext*)>;
Result Decode(const StreamInfo& s, uint32_t flags, bool large = false, const Prepare& prepare = {}) {
  H264DecParam p{};
  p.widthMbs = large ? 120 : static_cast<uint32_t>((s.width + 15) / 16);
  p.heightMbs = large ? 68 : static_cast<uint32_t>((s.height + 15) / 16);
  if (p.heightMbs & 1) ++p.heightMbs;  // field streams count in pairs of rows
  p.refFrames = 16;
  p.flags = flags;
  H264DecContext* ctx = H264Dec_Create(&p);
  Result r;
  if (!ctx) return r;
  if (prepare) prepare(ctx);
  std::vector<uint8_t> data = ReadFile(kDir + "/" + s.name);
  auto note = [&] {
    int e = H264Dec_GetError(ctx);
    if (!r.firstError && e != H264DEC_ERR_NAL_TYPE) r.firstError = e;
  };
  H264DecFrame f;
  int rc = H264Dec_Decode(ctx, data.data(), static_cast<uint32_t>(data.size()), 0, 0, &f, 0);
  for (; rc == H264DEC_PICTURE; rc = H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 0)) {
    r.pictures.push_back(Cropped(f));
    note();
  }
  note();
  while (H264Dec_Decode(ctx, nullptr, 0, 0, 0, &f, 1) == H264DEC_PICTURE) r.pictures.push_back(Cropped(f));
  note();
  H264Dec_Destroy(ctx);
  if (!large && r.firstError == 0x2000000c) return Decode(s, flags, true, prepare);
  return r;
}

bool IsFieldStream(const std::string& name) {
  for (const char* f : {"HCAFF1_HHI", "freh6", "Freh7_B", "freh10", "HPCVFL_BRCM_A", "HPCAFL_BRCM_C"})
    if (name.find(std::string("/") + f + ".") != std::string::npos) return true;
  return false;
}

// Streams without B pictures come out in the same order both ways; those
// with B pictures hold the same pictures in another order.
const char* const kBothOrders[] = {
    "conformance/BA1_Sony_D.jsv", "conformance/SVA_BA1_B.264",    "conformance/CVPCMNL1_SVA_C.264",
    "conformance/MR2_TANDBERG_E.264", "conformance/NRF_MW_E.264", "conformance/MIDR_MW_D.264",
    "extra/test_qcif_cabac.264",  "extra/QCIF_2P_I_allIPCM.264",  "conformance/FRExt3_Panasonic.avc",
    "conformance/Freh2_B.264",    "extra/Cisco_Men_whisper_640x320_CABAC_Bframe_9.264",
};

std::vector<std::string> Md5s(const Result& r) {
  std::vector<std::string> out;
  for (const auto& p : r.pictures) out.push_back(Md5(p));
  return out;
}

}  // namespace

TEST(H264Conformance, DecodingOrderHoldsThePicturesOfDisplayOrder) {
  for (const StreamInfo& s : ListStreams()) {
    bool listed = false;
    for (const char* n : kBothOrders) listed |= s.name == n;
    if (!listed) continue;
    SCOPED_TRACE(s.name);
    Result display = Decode(s, H264DEC_FLAG_DISPLAY_ORDER);
    Result decoding = Decode(s, 0);
    EXPECT_EQ(display.firstError, 0);
    EXPECT_EQ(decoding.firstError, 0);
    ASSERT_FALSE(display.pictures.empty());
    EXPECT_EQ(Md5(display.pictures[0]), FirstFrameMd5(s.name));
    std::vector<std::string> a = Md5s(display), b = Md5s(decoding);
    bool reordered = a != b;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
    // Only streams with B pictures are reordered.
    EXPECT_EQ(reordered, s.name.find("Freh2_B") != std::string::npos || s.name.find("Bframe") != std::string::npos ||
                             s.name.find("FRExt3") != std::string::npos);
  }
}

// Field streams: both output orders give the listed pictures, complementary
// field pairs woven into frames.
TEST(H264Conformance, FieldStreamsDecodeInBothOrders) {
  int fieldStreams = 0;
  for (const StreamInfo& s : ListStreams()) {
    if (!IsFieldStream(s.name)) continue;
    SCOPED_TRACE(s.name);
    ++fieldStreams;
    Result display = Decode(s, H264DEC_FLAG_DISPLAY_ORDER);
    Result decoding = Decode(s, 0);
    EXPECT_EQ(display.firstError, 0) << std::hex << display.firstError;
    EXPECT_EQ(decoding.firstError, 0) << std::hex << decoding.firstError;
    ASSERT_FALSE(display.pictures.empty());
    EXPECT_EQ(Md5(display.pictures[0]), FirstFrameMd5(s.name));
    std::vector<std::string> a = Md5s(display), b = Md5s(decoding);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
  }
  EXPECT_EQ(fieldStreams, 6);
}

// The table is the path: kernels put in its slots (and in the 2x2 chroma
// table beside it) that count their calls and pass them on see every
// prediction and edge filter of the kind, and the pictures stay the same.
namespace {

// Calls per slot; the 2x2 chroma kernels count as slot kChroma2x2.
constexpr int kChroma2x2 = 39;
std::array<int, 40> gCalls;
H264DecKernelTable gInner;
const H264McFn* gInner2x2;

void CountLumaFilter(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta, const uint8_t* tc0) {
  ++gCalls[7];
  gInner.lumaEdgeFilter(p, q, alpha, beta, tc0);
}
void CountStrongFilter(uint8_t* p, uint8_t* q, uint32_t alpha, uint32_t beta) {
  ++gCalls[9];
  gInner.lumaEdgeFilterStrong(p, q, alpha, beta);
}

const H264McFn* InnerMc(int slot) {
  switch (slot) {
    case 31: return gInner.lumaMc4x4;
    case 32: return gInner.lumaMc4x8;
    case 33: return gInner.lumaMc8x16;
    case 34: return gInner.chromaMc4x2;
    case 35: return gInner.chromaMc8x4;
    default: return gInner2x2;
  }
}
template <int Slot, int I>
void CountMc(const H264McArgs* a) {
  ++gCalls[Slot];
  InnerMc(Slot)[I](a);
}
template <int Slot, int... I>
constexpr std::array<H264McFn, sizeof...(I)> CountingMc(std::integer_sequence<int, I...>) {
  return {&CountMc<Slot, I>...};
}
constexpr auto kLuma4x4 = CountingMc<31>(std::make_integer_sequence<int, 16>());
constexpr auto kLuma4x8 = CountingMc<32>(std::make_integer_sequence<int, 16>());
constexpr auto kLuma8x16 = CountingMc<33>(std::make_integer_sequence<int, 16>());
constexpr auto kChroma4x2 = CountingMc<34>(std::make_integer_sequence<int, 4>());
constexpr auto kChroma8x4 = CountingMc<35>(std::make_integer_sequence<int, 4>());
constexpr auto kChroma2x2Counting = CountingMc<kChroma2x2>(std::make_integer_sequence<int, 4>());

void CountThroughTheTable(H264DecContext* ctx) {
  gInner = ctx->kernels;
  gInner2x2 = ctx->chromaMc2x2;
  H264DecKernelTable& k = ctx->kernels;
  k.lumaEdgeFilter = CountLumaFilter;
  k.lumaEdgeFilterStrong = CountStrongFilter;
  k.lumaMc4x4 = kLuma4x4.data();
  k.lumaMc4x8 = kLuma4x8.data();
  k.lumaMc8x16 = kLuma8x16.data();
  k.chromaMc4x2 = kChroma4x2.data();
  k.chromaMc8x4 = kChroma8x4.data();
  ctx->chromaMc2x2 = kChroma2x2Counting.data();
}

}  // namespace

TEST(H264Conformance, PredictionAndEdgeFiltersGoThroughTheTable) {
  gCalls.fill(0);
  // Partitions of every size (CAVLC and CABAC), intra macroblocks among
  // inter ones.
  for (const char* name : {"conformance/BA_MW_D.264", "extra/Cisco_Men_whisper_640x320_CABAC_Bframe_9.264", "conformance/MR1_MW_A.264"}) {
    StreamInfo s;
    for (const StreamInfo& listed : ListStreams())
      if (listed.name == name) s = listed;
    if (s.name.empty()) continue;
    SCOPED_TRACE(name);
    Result plain = Decode(s, H264DEC_FLAG_DISPLAY_ORDER);
    Result counted = Decode(s, H264DEC_FLAG_DISPLAY_ORDER, false, CountThroughTheTable);
    EXPECT_EQ(counted.firstError, plain.firstError);
    ASSERT_FALSE(plain.pictures.empty());
    EXPECT_TRUE(Md5s(counted) == Md5s(plain));
  }
  for (int slot : {7, 9, 31, 32, 33, 34, 35, kChroma2x2}) EXPECT_GT(gCalls[slot], 0) << "slot " << slot;
}
