// The decoder's interface: create, decode and delete arguments, the stream
// buffer that cuts units, NAL unit headers and the RBSP bit reader.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/codecs/hevc/hevc_test_util.h"

namespace hevc_test {
namespace {

void* NoAlloc(int32_t, uint32_t) { return nullptr; }

struct CreateCase {
  const char* name;
  void (*mutate)(IH265D_InitParam&);
  int32_t code;
  const char* message;  // nullptr: no message
};

TEST(HevcCreate, RefusesBadInitRecords) {
  const CreateCase cases[] = {
      {"no message function", [](IH265D_InitParam& p) { p.MessageFxn = nullptr; }, IH265D_ERR_MESSAGEFXN, nullptr},
      {"no malloc", [](IH265D_InitParam& p) { p.MallocFxn = nullptr; }, IH265D_ERR_MALLOCFXN,
       "IH265D_Create : pstInitParam->MallocFxn is NULL !\n"},
      {"no free", [](IH265D_InitParam& p) { p.FreeFxn = nullptr; }, IH265D_ERR_FREEFXN,
       "IH265D_Create : pstInitParam->FreeFxn is NULL !\n"},
      {"width 8193", [](IH265D_InitParam& p) { p.iMaxWidth = 8193; }, IH265D_ERR_WIDTH,
       "IH265D_Create : pstInitParam->iMaxWidth should be in the range of 8 ~ 8192 !\n"},
      {"width 7", [](IH265D_InitParam& p) { p.iMaxWidth = 7; }, IH265D_ERR_WIDTH, "iMaxWidth should be"},
      {"height 0", [](IH265D_InitParam& p) { p.iMaxHeight = 0; }, IH265D_ERR_HEIGHT,
       "IH265D_Create : pstInitParam->iMaxHeight should be in the range of 8 ~ 8192 !\n"},
      {"16 references", [](IH265D_InitParam& p) { p.iMaxRefNum = 16; }, IH265D_ERR_REFNUM,
       "IH265D_Create : pstInitParam->iMaxRefNum should be in the range of 0 ~ 15 !\n"},
      {"negative references", [](IH265D_InitParam& p) { p.iMaxRefNum = -1; }, IH265D_ERR_REFNUM, "iMaxRefNum"},
      {"thread type 2", [](IH265D_InitParam& p) { p.eThreadType = 2; }, IH265D_ERR_THREADTYPE, "IH265D_Create : "},
      {"failing malloc", [](IH265D_InitParam& p) { p.MallocFxn = NoAlloc; }, IH265D_ERR_MALLOC,
       "IH265D_Create : p_dec_obj malloc failed!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IH265D_InitParam p{};
    p.iMaxWidth = p.iMaxHeight = 64;
    p.iMaxRefNum = 2;
    p.eOutputOrder = 1;
    p.MallocFxn = Decoder::Alloc;
    p.FreeFxn = Decoder::Free;
    p.MessageFxn = Decoder::Record;
    Decoder::Messages().clear();
    c.mutate(p);
    IH265D_HANDLE h = reinterpret_cast<IH265D_HANDLE>(0x1);
    EXPECT_EQ(IH265D_Create(&h, &p), c.code);
    EXPECT_EQ(h, reinterpret_cast<IH265D_HANDLE>(0x1)) << "nothing is written on failure";
    if (c.message) {
      EXPECT_TRUE(Decoder::Said(c.message)) << Decoder::All();
    } else {
      EXPECT_TRUE(Decoder::Messages().empty());
    }
  }
  IH265D_InitParam p{};
  EXPECT_EQ(IH265D_Create(nullptr, &p), IH265D_ERR_ARG);
  IH265D_HANDLE h;
  EXPECT_EQ(IH265D_Create(&h, nullptr), IH265D_ERR_ARG);
}

TEST(HevcCreate, InvalidOutputOrderWarnsAndBecomesDisplayOrder) {
  IH265D_InitParam p{};
  p.iMaxWidth = p.iMaxHeight = 64;
  p.eOutputOrder = 7;
  p.MallocFxn = Decoder::Alloc;
  p.FreeFxn = Decoder::Free;
  p.MessageFxn = Decoder::Record;
  Decoder::Messages().clear();
  IH265D_HANDLE h;
  ASSERT_EQ(IH265D_Create(&h, &p), 0);
  EXPECT_EQ(p.eOutputOrder, 1);
  EXPECT_TRUE(Decoder::Said("eOutputOrder is invalid, default to be IH265D_DISPLAY_ORDER", 1));
  EXPECT_EQ(static_cast<hevc::HevcDecoder*>(h)->eOutputOrder, 1);
  EXPECT_EQ(IH265D_Delete(h), 0);
}

TEST(HevcDecode, ArgumentErrors) {
  Decoder d;
  ASSERT_EQ(d.created(), 0);
  uint8_t byte = 0;
  IH265D_InArgs in{&byte, 1, 0, 0};
  IH265D_OutArgs out{};
  EXPECT_EQ(IH265D_Decode(nullptr, &in, &out), IH265D_ERR_ARG);
  uint32_t fake[64] = {};
  EXPECT_EQ(IH265D_Decode(fake, &in, &out), IH265D_ERR_HANDLE);
  EXPECT_EQ(IH265D_Decode(d.handle(), nullptr, &out), IH265D_ERR_ARG);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : pstInArgs is NULL !\n"));
  EXPECT_EQ(IH265D_Decode(d.handle(), &in, nullptr), IH265D_ERR_ARG);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : pstOutArgs is NULL !\n"));
  IH265D_InArgs noStream{nullptr, 4, 0, 0};
  EXPECT_EQ(IH265D_Decode(d.handle(), &noStream, &out), IH265D_ERR_STREAM_NULL);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : pstInArgs->pStream is NULL !\n"));
  IH265D_InArgs badMode{&byte, 1, 0, 2};
  EXPECT_EQ(IH265D_Decode(d.handle(), &badMode, &out), IH265D_ERR_ARG);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : DecodeMode input is error !\n"));
  EXPECT_EQ(IH265D_Delete(nullptr), IH265D_ERR_ARG);
  EXPECT_EQ(IH265D_Delete(fake), IH265D_ERR_HANDLE);
}

TEST(HevcDecode, StreamBufferCutsUnitsAtStartCodes) {
  Decoder d;
  // a partial unit is taken and held; no picture, no error
  std::vector<uint8_t> vps = Vps();
  std::vector<uint8_t> head(vps.begin(), vps.begin() + 8);
  EXPECT_EQ(d.Bytes(head), IH265D_NEED_MORE);
  EXPECT_EQ(d.out().iBytesTaken, head.size());
  EXPECT_EQ(d.out().DecodeStatus, IH265D_NEED_MORE_BITS);
  EXPECT_EQ(d.dec()->iStreamBufBytes, 8);
  EXPECT_FALSE(d.dec()->apVps[0]->iValid);
  // the rest and the next start code complete it
  std::vector<uint8_t> tail(vps.begin() + 8, vps.end());
  tail.insert(tail.end(), {0, 0, 1});
  EXPECT_EQ(d.Bytes(tail), IH265D_NEED_MORE);
  EXPECT_TRUE(d.dec()->apVps[0]->iValid) << Decoder::All();
  // a call with no bytes is fine
  uint8_t none = 0;
  IH265D_InArgs empty{&none, 0, 0, 0};
  IH265D_OutArgs out{};
  EXPECT_EQ(IH265D_Decode(d.handle(), &empty, &out), IH265D_NEED_MORE);
  EXPECT_EQ(out.iBytesTaken, 0u);
}

TEST(HevcDecode, BytesWithoutStartCodeLeaveThreeHeldWhenTheBufferFills) {
  Decoder d;
  const int size = d.dec()->iStreamBufSize;
  std::vector<uint8_t> junk(size + 10, 0x55);
  EXPECT_EQ(d.Bytes(junk), IH265D_NEED_MORE);
  EXPECT_EQ(d.out().iBytesTaken, junk.size());
  EXPECT_EQ(d.dec()->iStreamBufBytes, 3 + 10);
  // draining drops what has no start code
  IH265D_InArgs in{nullptr, 0, 0, 1};
  IH265D_OutArgs out{};
  EXPECT_EQ(IH265D_Decode(d.handle(), &in, &out), 0);
  EXPECT_EQ(out.DecodeStatus, IH265D_NO_PICTURE);
  EXPECT_EQ(d.dec()->iStreamBufBytes, 0);
}

TEST(HevcNal, HeaderChecks) {
  Decoder d;
  // TemporalId -1 is an error and latches the error flags
  EXPECT_EQ(d.Unit(Nal(32, {0x0C}, 0)), IH265D_ERR_NAL);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : The value of nuh_temporal_id is -1, should be in the range of 0~6!\n"));
  EXPECT_EQ(d.dec()->iErrorPending, 1);
  // a layer id only warns
  std::vector<uint8_t> layered = Vps();
  layered[5] |= 0x08;
  Decoder::Messages().clear();
  EXPECT_EQ(d.Unit(layered), 0);
  EXPECT_TRUE(Decoder::Said("nuh_layer_id is 1, should be equal to 0!", 1));
  // unsupported types; access-unit delimiters and filler data only warn
  EXPECT_EQ(d.Unit(Nal(35, {0x50})), 0);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : The NAL type 35 is not support !\n", 1));
  EXPECT_EQ(d.Unit(Nal(38, {0xFF, 0x80})), 0);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : The NAL type 38 is not support !\n", 1));
  EXPECT_EQ(d.Unit(Nal(22, {0x00})), IH265D_ERR_NAL);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : The NAL type 22 is not support !\n"));
  EXPECT_EQ(d.Unit(Nal(41, {0x80})), IH265D_ERR_NAL);
  EXPECT_TRUE(Decoder::Said("IH265D_Decode : The NAL type 41 is not support !\n"));
}

TEST(HevcNal, UnitShorterThanItsHeaderIsRefused) {
  // Regression: a one-byte unit used to have its second header byte read
  // from whatever followed it.
  Decoder d;
  EXPECT_EQ(d.Bytes({0, 0, 1, 0x40, 0, 0, 1}), IH265D_ERR_NAL);
  EXPECT_TRUE(Decoder::Said("shorter than its header")) << Decoder::All();
}

TEST(HevcBits, ExpGolombAndMoreRbspData) {
  hevc::HevcBitReader br;
  const uint8_t ue6[] = {0x38};  // 00111
  hevc::HevcBitReaderInit(&br, ue6, 1, 5);
  EXPECT_EQ(hevc::HevcReadUe(&br), 6u);
  hevc::HevcBitReaderInit(&br, ue6, 1, 5);
  EXPECT_EQ(hevc::HevcReadSe(&br), -3);
  const uint8_t se[] = {0x60};  // 011 then 010
  hevc::HevcBitReaderInit(&br, se, 1, 5);
  EXPECT_EQ(hevc::HevcReadSe(&br), -1);
  const uint8_t se2[] = {0x40};
  hevc::HevcBitReaderInit(&br, se2, 1, 5);
  EXPECT_EQ(hevc::HevcReadSe(&br), 1);
  const uint8_t zeros[] = {0, 0, 0, 0};
  hevc::HevcBitReaderInit(&br, zeros, 4, 8);
  EXPECT_EQ(hevc::HevcReadUe(&br), 0xFFFFFFFFu);
  hevc::HevcBitReaderInit(&br, zeros, 4, 8);
  EXPECT_EQ(hevc::HevcReadSe(&br), 0x7FFFFFFF);
  // reading past the end gives zeros
  const uint8_t one[] = {0xFF};
  hevc::HevcBitReaderInit(&br, one, 1, 5);
  EXPECT_EQ(hevc::HevcReadBits(&br, 12), 0xFF0u);
  // more_rbsp_data: only the stop bit left, or more
  const uint8_t stop[] = {0xA0, 0x80};
  hevc::HevcBitReaderInit(&br, stop, 2, 6);
  hevc::HevcReadBits(&br, 3);
  EXPECT_EQ(hevc::HevcMoreRbspData(&br), 1);
  hevc::HevcReadBits(&br, 5);
  EXPECT_EQ(hevc::HevcMoreRbspData(&br), 0);
}

TEST(HevcBits, StartCodesAndEmulationPrevention) {
  int64_t off;
  int len;
  const uint8_t three[] = {7, 0, 0, 1};
  EXPECT_NE(hevc::HevcFindStartCode(three, 4, &off, &len), nullptr);
  EXPECT_EQ(off, 1);
  EXPECT_EQ(len, 3);
  const uint8_t four[] = {0, 0, 0, 1, 5};
  hevc::HevcFindStartCode(four, 5, &off, &len);
  EXPECT_EQ(off, 0);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(hevc::HevcFindStartCode(four, 2, &off, &len), nullptr);
  EXPECT_EQ(off, -1);
  uint8_t unit[] = {0x40, 0x01, 0, 0, 3, 0, 0, 3, 0, 0, 0, 3};
  uint8_t out[16];
  int32_t n = hevc::HevcRemoveEmulationBytes(unit, sizeof unit, out);
  const uint8_t want[] = {0, 0, 0, 0, 0, 0, 0, 3};
  ASSERT_EQ(n, 8);
  EXPECT_EQ(std::memcmp(out, want, 8), 0);
  EXPECT_EQ(hevc::HevcCeilLog2(510), 9);
  EXPECT_EQ(hevc::HevcCeilLog2(8160), 13);
  EXPECT_EQ(hevc::HevcCeilLog2(1), 0);
}

// The scans against byte-by-byte ones, on bytes rich in zeros, ones and
// threes: every start code, emulation byte and run of zeros at every place,
// the unit's end included; emulation bytes removed into another buffer and
// in place.
TEST(HevcBits, StartCodeAndEmulationScansMatchByteByByte) {
  auto findSlow = [](const uint8_t* p, int64_t len, int* scLen) -> int64_t {
    for (int64_t i = 0; i + 3 <= len; ++i) {
      if (p[i] != 0 || p[i + 1] != 0) continue;
      if (i + 4 <= len && p[i + 2] == 0 && p[i + 3] == 1) return *scLen = 4, i;
      if (p[i + 2] == 1) return *scLen = 3, i;
    }
    return *scLen = 0, -1;
  };
  auto removeSlow = [](const uint8_t* unit, int32_t len, uint8_t* dst) {
    int zeros = 0;
    int32_t n = 0;
    for (int32_t i = 2; i < len; ++i) {
      if (unit[i] == 3 && zeros == 2) {
        zeros = 0;
        continue;
      }
      zeros = unit[i] == 0 ? zeros + 1 : 0;
      dst[n++] = unit[i];
    }
    return n;
  };
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 24; };
  const uint8_t alphabet[] = {0, 0, 0, 0, 1, 3, 3, 0x80, 0xFF, 2};
  for (int trial = 0; trial < 4000; ++trial) {
    const int32_t len = static_cast<int32_t>(next() % 80);
    std::vector<uint8_t> b(static_cast<size_t>(len));  // exact: a read past the end shows under ASan
    for (int32_t i = 0; i < len; ++i) b[i] = next() % 4 ? alphabet[next() % 10] : static_cast<uint8_t>(next());
    SCOPED_TRACE(trial);
    int64_t off;
    int sc = -1, scWant = -1;
    const uint8_t* at = hevc::HevcFindStartCode(b.data(), len, &off, &sc);
    const int64_t want = findSlow(b.data(), len, &scWant);
    ASSERT_EQ(off, want);
    ASSERT_EQ(sc, scWant);
    ASSERT_EQ(at, want < 0 ? nullptr : b.data() + want);
    if (len < 2) continue;
    std::vector<uint8_t> wantOut(static_cast<size_t>(len)), out(static_cast<size_t>(len), 0xEE);
    const int32_t nWant = removeSlow(b.data(), len, wantOut.data());
    ASSERT_EQ(hevc::HevcRemoveEmulationBytes(b.data(), len, out.data()), nWant);
    ASSERT_EQ(std::memcmp(out.data(), wantOut.data(), static_cast<size_t>(nWant)), 0);
    ASSERT_EQ(hevc::HevcRemoveEmulationBytes(b.data(), len, b.data() + 2), nWant);
    ASSERT_EQ(std::memcmp(b.data() + 2, wantOut.data(), static_cast<size_t>(nWant)), 0);
  }
}

TEST(HevcMemory, BoundedFill) {
  uint8_t b[8] = {};
  EXPECT_EQ(hevc::HevcMemset(b, 0, 1, 4), 34);
  EXPECT_EQ(hevc::HevcMemset(nullptr, 8, 1, 4), 22);
  EXPECT_EQ(hevc::HevcMemset(b, 8, 9, 100), 162);
  EXPECT_EQ(b[7], 9);
  EXPECT_EQ(hevc::HevcMemset(b, 8, 1, 4), 0);
}

TEST(HevcKernels, EverySlotHoldsAKernel) {
  hevc::HevcDspTable t;
  int32_t flags = -1;
  hevc::HevcInstallKernels(&t, &flags, 1);
  for (auto s : t.slot) EXPECT_NE(s, nullptr);
  EXPECT_EQ(flags, hevc::HevcCpuDetect());
  hevc::HevcInstallKernels(&t, &flags, 0);
  EXPECT_EQ(flags, 0);
#if defined(__x86_64__)
  EXPECT_TRUE(hevc::HevcCpuDetect() & 0x10) << "every x86-64 processor has SSE2";
#endif
}

}  // namespace
}  // namespace hevc_test
