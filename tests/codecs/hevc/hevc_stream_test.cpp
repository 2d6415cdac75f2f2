// Whole streams: pictures out in order with their records, picture hashes,
// conformance streams, hostile tails; and the
// entropy-decoding limits checked on the engine directly.
#include <gtest/gtest.h>

#include <cstring>

#include "codecs/hevc/hevc_tables.h"
#include "tests/codecs/hevc/hash_check.h"
#include "tests/codecs/hevc/hevc_test_util.h"

namespace hevc_test {
namespace {

const std::string kCorpus = HEVC_CORPUS;
const std::string kConformance = std::string(VELMORA_TEST_DATA) + "/conformance/hevc/conformance/";

// Offsets of the units (after their start codes) of a stream.
std::vector<size_t> Units(const std::vector<uint8_t>& s) {
  std::vector<size_t> u;
  for (size_t i = 0; i + 3 <= s.size(); ++i)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) u.push_back(i + 3);
  return u;
}

TEST(HevcStream, IntraPicturesMatchTheirHashes) {
  auto s = ReadFile(kCorpus + "/intra_nofilter.265");
  ASSERT_FALSE(s.empty());
  HashReport r = CheckPictureHashes(s.data(), s.size(), 64, 64);
  EXPECT_EQ(r.hashes, 2);
  EXPECT_EQ(r.checked, 2);
  EXPECT_EQ(r.mismatched, 0) << r.firstMismatch;
}

TEST(HevcStream, PicturesLeaveWithTheirRecords) {
  auto s = ReadFile(kCorpus + "/intra_nofilter.265");
  Decoder d(64, 64);
  int pictures = 0;
  size_t done = 0;
  std::vector<IH265D_OutArgs> outs;
  for (int guard = 0; guard < 100; ++guard) {
    IH265D_InArgs in{s.data() + done, static_cast<uint32_t>(s.size() - done), 1000 + guard, 0};
    IH265D_OutArgs out{};
    int32_t rc = IH265D_Decode(d.handle(), &in, &out);
    ASSERT_TRUE(rc == 0 || rc == 1) << Decoder::All();
    done += out.iBytesTaken;
    if (rc == 0) outs.push_back(out);
    if (rc == 1) break;
  }
  for (;;) {
    IH265D_InArgs in{nullptr, 0, 0, 1};
    IH265D_OutArgs out{};
    ASSERT_EQ(IH265D_Decode(d.handle(), &in, &out), 0);
    if (out.DecodeStatus == IH265D_NO_PICTURE) break;
    ASSERT_EQ(out.DecodeStatus, IH265D_GETDISPLAY);
    outs.push_back(out);
  }
  pictures = static_cast<int>(outs.size());
  ASSERT_EQ(pictures, 2);
  for (const auto& o : outs) {
    EXPECT_EQ(o.iChannel, 7);
    EXPECT_EQ(o.iPicWidth, 64);
    EXPECT_EQ(o.iPicHeight, 64);
    EXPECT_EQ(o.ePicType, 0);
    EXPECT_EQ(o.iErrorFlag, 0);
    EXPECT_EQ(o.iChromaStride * 2, o.iLumaStride);
    EXPECT_GE(o.iLumaStride, 64 + 256);
    int cus = 0;
    for (int c : o.aiCuCount) cus += c;
    EXPECT_GT(cus, 0);
    EXPECT_GT(o.iPicBytes, 0);
    EXPECT_EQ(o.iNumUnitsInTick, 1001);  // x265 writes no VPS timing... or its own
  }
}

TEST(HevcStream, CuCountersCoverEachPicture) {
  // The 18 counters, each weighted by the luma area it stands for, add up to
  // the picture: counter 0 counts the four 4x4 parts of an 8x8 NxN intra CU.
  static const int kArea[18] = {16, 64, 256, 1024, 4096,  // intra: 4x4 parts, then CUs of 8 to 64
                                16, 64, 256, 1024, 4096,  // PCM likewise
                                64, 256, 1024, 4096,      // inter
                                64, 256, 1024, 4096};     // skipped
  int nxn = 0;
  for (const char* name : {"intra_nofilter.265", "intra_ctu16.265", "intra_slices.265", "inter_ctu16_80x48.265",
                           "inter_ctu32_80x48.265", "inter_weighted.265"}) {
    SCOPED_TRACE(name);
    const auto s = ReadFile(kCorpus + "/" + name);
    ASSERT_FALSE(s.empty());
    Decoder d(128, 128);
    int pictures = 0;
    size_t done = 0;
    bool drain = false;  // once a call took the last bytes and had no picture
    for (int guard = 0; guard < 1000; ++guard) {
      IH265D_InArgs in{s.data() + done, static_cast<uint32_t>(s.size() - done), 0, drain ? 1 : 0};
      IH265D_OutArgs out{};
      const int32_t rc = IH265D_Decode(d.handle(), &in, &out);
      ASSERT_TRUE(rc == 0 || (rc == 1 && !drain)) << Decoder::All();
      if (!drain) done += out.iBytesTaken;
      drain = drain || rc == 1;
      if (out.DecodeStatus == IH265D_NO_PICTURE) break;
      if (out.DecodeStatus != IH265D_GETDISPLAY) continue;
      ++pictures;
      int64_t area = 0;
      for (int i = 0; i < 18; ++i) area += static_cast<int64_t>(out.aiCuCount[i]) * kArea[i];
      EXPECT_EQ(area, out.iPicWidth * out.iPicHeight) << "picture " << pictures;
      nxn += out.aiCuCount[0];
    }
    EXPECT_GE(pictures, 2);
  }
  EXPECT_GT(nxn, 0);  // the streams have 4x4 intra parts
}

TEST(HevcStream, RefusedSpsThenAValidStreamDecodes) {
  auto s = ReadFile(kCorpus + "/intra_nofilter.265");
  for (uint64_t chroma : {0, 2, 3}) {
    SCOPED_TRACE(chroma);
    Decoder d(64, 64);
    ASSERT_EQ(d.Unit(Vps()), 0);
    SpsFields bad;
    bad.chroma_format_idc = chroma;
    EXPECT_EQ(d.Unit(Sps(bad)), IH265D_ERR_SPS);
    SpsFields deep;
    deep.bit_depth_luma_minus8 = deep.bit_depth_chroma_minus8 = 2;
    EXPECT_EQ(d.Unit(Sps(deep)), IH265D_ERR_SPS);
    int pictures = 0;
    EXPECT_EQ(d.Stream(s, &pictures), 0) << Decoder::All();
    EXPECT_EQ(pictures, 2);
  }
}

TEST(HevcStream, UserDataGoesWithTheNextPicture) {
  auto s = ReadFile(kCorpus + "/intra_nofilter.265");
  auto units = Units(s);
  // put a type-240 SEI right before the first slice
  size_t at = 0;
  for (size_t u : units)
    if (((s[u] >> 1) & 0x3F) < 32) {
      at = u - 3;
      if (s[at - 1] == 0) --at;  // four-byte start code
      break;
    }
  ASSERT_GT(at, 0u);
  std::vector<uint8_t> sei = Nal(39, {240, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x80});
  std::vector<uint8_t> t(s.begin(), s.begin() + static_cast<long>(at));
  t.insert(t.end(), sei.begin(), sei.end());
  t.insert(t.end(), s.begin() + static_cast<long>(at), s.end());
  Decoder d(64, 64);
  ASSERT_EQ(d.Bytes(t), 0) << Decoder::All();  // the first picture comes out when the second starts
  ASSERT_EQ(d.out().DecodeStatus, IH265D_GETDISPLAY);
  ASSERT_EQ(d.out().iUserDataLen, 10);
  EXPECT_EQ(d.out().pUserData[0], 1);
  EXPECT_EQ(d.out().pUserData[9], 10);
}

TEST(HevcStream, DecodeOrderReturnsEachPictureAtTheNextStart) {
  auto s = ReadFile(kCorpus + "/intra_slices.265");
  Decoder d(64, 64, 0);
  int pictures = 0;
  EXPECT_EQ(d.Stream(s, &pictures), 0) << Decoder::All();
  EXPECT_EQ(pictures, 2);
}

TEST(HevcStream, TruncatedAndCorruptedTailsEndCleanly) {
  // The engine reads its two look-ahead bytes and every later bin from inside
  // the held unit only; a cut or damaged last slice leaves its picture
  // incomplete and nothing else.
  auto s = ReadFile(kCorpus + "/intra_lossless.265");
  auto units = Units(s);
  ASSERT_GE(units.size(), 2u);
  size_t last = units.back();
  for (size_t keep : {size_t{3}, size_t{6}, size_t{40}, (s.size() - last) / 2}) {
    SCOPED_TRACE(keep);
    std::vector<uint8_t> t(s.begin(), s.begin() + static_cast<long>(last + keep));
    Decoder d(64, 64);
    int pictures = 0;
    d.Stream(t, &pictures);
    EXPECT_GE(pictures, 1);
    EXPECT_LE(pictures, 2);
  }
  std::vector<uint8_t> t = s;
  for (size_t i = last + 8; i < t.size(); i += 7) t[i] ^= 0xA5;
  Decoder d(64, 64);
  int pictures = 0;
  d.Stream(t, &pictures);
  EXPECT_LE(pictures, 2);
}

TEST(HevcConformance, ScalingListStreamsMatchEveryPictureHash) {
  // Both streams carry scaling lists in SPS and PPS (predicted and default
  // lists), P and B pictures, deblocking and SAO; every picture must match its
  // hash, unit by unit, with the caller's 4 references. (The whole-output MD5
  // is checked by the hevc.conformance test through vdec.)
  for (const char* name : {"SLIST_A_Sony_5.bit", "SLIST_B_Sony_9.bit"}) {
    SCOPED_TRACE(name);
    auto s = ReadFile(kConformance + name);
    ASSERT_FALSE(s.empty());
    HashReport r = CheckPictureHashes(s.data(), s.size(), 832, 480, 4);
    EXPECT_EQ(r.hashes, 65);
    EXPECT_EQ(r.checked, 65);
    EXPECT_EQ(r.mismatched, 0) << r.firstMismatch;
  }
}

// A decoder whose engine sits on a run of 0xFF bytes: every bypass bin is 1.
struct Engine {
  Decoder d;
  std::vector<uint8_t> ones = std::vector<uint8_t>(256, 0xFF);
  Engine() {
    d.Unit(Vps());
    d.Unit(Sps());
    d.Unit(Pps());
    hevc::HevcDecoder* dec = d.dec();
    dec->pSps = dec->apSps[0];
    dec->pPps = dec->apPps[0];
    hevc::HevcCabacStart(dec->pCabac, ones.data(), ones.data() + ones.size());
    hevc::HevcCabacInitContexts(dec->pCabac, 2, 0, 30);
  }
};

TEST(HevcEntropy, LongRemainingLevelsFailInsteadOfOverflowing) {
  // Regression: a coeff_abs_level_remaining prefix of up to 32 one-bins built
  // its value with shifts that overflowed 32 bits.
  Engine e;
  hevc::HevcTu tu{};
  alignas(16) int16_t coeff[16] = {};
  int32_t rc = hevc::HevcResidualCoding(e.d.dec(), &tu, 2, 0, 0, coeff, 0);
  EXPECT_EQ(rc, IH265D_ERR_SLICEDATA);
  EXPECT_TRUE(Decoder::Said("the value of trans_coeff_level is")) << Decoder::All();
}

TEST(HevcEntropy, LongMotionVectorDifferencesFailInsteadOfOverflowing) {
  // Regression: abs_mvd_minus2 with a long Exp-Golomb prefix overflowed
  // before its range was checked.
  Engine e;
  // both greater flags come out 1 on this input from these states
  e.d.dec()->pCabac->aucCtxState[31] = 0;
  e.d.dec()->pCabac->aucCtxState[34] = 0;
  int16_t mvd[2] = {};
  EXPECT_EQ(hevc::HevcMvdCoding(e.d.dec(), mvd), IH265D_ERR_SLICEDATA);
  EXPECT_TRUE(Decoder::Said("the value of stMvd is")) << Decoder::All();
}

TEST(HevcEntropy, EngineNeverReadsPastItsEnd) {
  // One byte of slice data in an exact-size block: the engine keeps reading
  // zeros, never the bytes after it (ASan watches).
  std::vector<uint8_t> one(1, 0x80);  // an exact-size heap block
  hevc::HevcCabac c;
  std::memset(&c, 0, sizeof c);
  hevc::HevcCabacStart(&c, one.data(), one.data() + one.size());
  hevc::HevcCabacInitContexts(&c, 2, 0, 26);
  for (int i = 0; i < 200; ++i) {
    hevc::HevcCabacDecodeBin(&c, &c.aucCtxState[i % 160]);
    hevc::HevcCabacDecodeBypass(&c);
  }
  EXPECT_EQ(hevc::HevcCabacRestart(&c, 4), nullptr) << "no PCM bytes left";
}

TEST(HevcEntropy, WavefrontRowsRestoreOnlyFromTheirOwnSlice) {
  // Regression: the contexts saved after the second CTB of a row were
  // restored at the next row start even when that CTB belonged to an earlier
  // slice; a slice starting mid-row must start such a row afresh.
  Decoder d;
  ASSERT_EQ(d.Unit(Vps()), 0);
  ASSERT_EQ(d.Unit(Sps()), 0);  // 4 x 4 CTBs
  PpsFields p;
  p.wpp = true;
  ASSERT_EQ(d.Unit(Pps(p)), 0);
  hevc::HevcDecoder* dec = d.dec();
  dec->pSps = dec->apSps[0];
  dec->pPps = dec->apPps[0];
  dec->stPic.PicWidthInCtbsY = 4;
  dec->stPic.PicHeightInCtbsY = 4;
  dec->stPic.PicSizeInCtbsY = 16;
  dec->stSh = {};
  dec->stSh.slice_type = 2;
  dec->stSh.SliceQpY = 30;
  dec->stSh.slice_segment_address = 6;  // the slice begins at CTB (2, 1)
  dec->SliceAddrRs = 6;
  for (int rs = 0; rs < 16; ++rs) dec->pCtbSliceAddrMap[rs] = rs < 6 ? 0 : 6;
  std::vector<uint8_t> data(64, 0x3C);
  hevc::HevcCabacStart(dec->pCabac, data.data(), data.data() + data.size());
  std::memset(dec->pWppCtx, 0x11, hevc::kNumCtx);
  hevc::HevcCabac fresh{};
  hevc::HevcCabacInitContexts(&fresh, 2, 0, 30);

  hevc::HevcInitCtuCabac(dec, 8);  // row 2: its above-right CTB (1, 1) is in the earlier slice
  EXPECT_EQ(std::memcmp(dec->pCabac->aucCtxState, fresh.aucCtxState, 183), 0);
  hevc::HevcInitCtuCabac(dec, 12);  // row 3: (1, 2) is in this slice
  EXPECT_EQ(std::memcmp(dec->pCabac->aucCtxState, dec->pWppCtx, hevc::kNumCtx), 0);
  // the save happens after the second CTB of a row only
  std::memset(dec->pCabac->aucCtxState, 0x22, hevc::kNumCtx);
  hevc::HevcSaveWppContexts(dec, 12);
  EXPECT_EQ(dec->pWppCtx[0], 0x11);
  hevc::HevcSaveWppContexts(dec, 13);
  EXPECT_EQ(dec->pWppCtx[0], 0x22);
}

}  // namespace
}  // namespace hevc_test
