// The whole HEVC decoder on arbitrary bytes: fed in pieces whose sizes come
// from the input, then drained. The size of the input picks one of eight
// decoders, kept from input to input so that creating one (several megabytes
// of zeroed buffers, four worker threads) is not paid each time: single- or
// multi-threaded, decode or display order, the smallest or the largest
// picture buffer. Pictures are at most 128 x 128. The corpus's threads_*
// inputs are broken streams sized for the worker decoder (first picture
// lost, a picture cut short, a key frame repeated); threads-race/ is replayed
// in order: workers read a picture that other workers were writing.
#include <cstdint>
#include <cstdlib>

#include "codecs/hevc/hevc_internal.h"
#include "codecs/hevc/ih265d.h"

namespace {
void* Alloc(int32_t, uint32_t n) { return std::malloc(n); }
void Free(int32_t, void* p) { std::free(p); }
void Quiet(int32_t, int32_t, const char*, ...) {}
}  // namespace

IH265D_HANDLE Decoder(int threadType, int outputOrder, int maxRef) {
  static IH265D_HANDLE handles[2][2][2] = {};
  IH265D_HANDLE& h = handles[threadType][outputOrder][maxRef == 15];
  // A picture that cannot use the workers switches threading off for good;
  // the next input starts with threads again (the handle is drained, its
  // batch empty, and its workers kept until delete).
  auto* dec = static_cast<hevc::HevcDecoder*>(h);
  if (h && threadType == 1 && dec->eThreadType == 0) {
    dec->eThreadType = 1;
    dec->iFirstSliceToggle = 0;
    dec->stAu.iAuState = dec->stAu.iAuPrevState = 0;
  }
  if (!h) {
    IH265D_InitParam init{};
    init.iMaxWidth = 128;
    init.iMaxHeight = 128;
    init.iMaxRefNum = maxRef;
    init.eThreadType = threadType;
    init.eOutputOrder = outputOrder;
    init.MallocFxn = Alloc;
    init.FreeFxn = Free;
    init.MessageFxn = Quiet;
    if (IH265D_Create(&h, &init) != 0) __builtin_trap();
  }
  return h;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IH265D_HANDLE h = Decoder((size >> 2) & 1, size & 1, (size >> 1) & 1 ? 15 : 2);
  size_t pos = 0;
  uint32_t piece = size > 0 ? 64u + data[0] * 16u : 64u;
  for (int guard = 0; guard < 100000; ++guard) {
    uint32_t n = static_cast<uint32_t>(size - pos < piece ? size - pos : piece);
    IH265D_InArgs in{data + pos, n, static_cast<int64_t>(pos), 0};
    IH265D_OutArgs out{};
    int32_t rc = IH265D_Decode(h, &in, &out);
    if (rc == 0 && out.DecodeStatus == 0 && out.pPlaneY) {
      // read the returned picture's corners the way a caller would
      uint8_t sum = 0;
      for (int y = 0; y < out.iPicHeight; ++y) sum ^= out.pPlaneY[y * out.iLumaStride + out.iPicWidth - 1];
      for (int y = 0; y < (out.iPicHeight + 1) / 2; ++y)
        sum ^= out.pPlaneU[y * out.iChromaStride] ^
               out.pPlaneV[y * out.iChromaStride + (out.iPicWidth + 1) / 2 - 1];
      volatile uint8_t sink = sum;
      (void)sink;
    }
    pos += out.iBytesTaken;
    if (rc == 1 && pos >= size) break;
  }
  for (int i = 0; i < 32; ++i) {
    IH265D_InArgs in{nullptr, 0, 0, 1};
    IH265D_OutArgs out{};
    if (IH265D_Decode(h, &in, &out) != 0 || out.DecodeStatus == 2) break;
  }
  return 0;
}
