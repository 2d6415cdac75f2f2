// The decoder's interface: create, decode, pop, reset and destroy; the start
// code scanner that cuts the input into NAL units; the output ring.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/h264_bitreader.h"
#include "codecs/h264/h264_internal.h"
#ifdef VELMORA_H264_X86
#include "codecs/h264/x86/h264_kernels_x86.h"
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#include <sys/mman.h>

void* H264DecAlloc16(size_t size) {
  uint8_t* raw = static_cast<uint8_t*>(std::calloc(1, size + 16));
  if (!raw) return nullptr;
  size_t shift = 16 - (reinterpret_cast<uintptr_t>(raw) & 15);  // 1..16
  uint8_t* block = raw + shift;
  block[-1] = static_cast<uint8_t>(shift);
  return block;
}

void H264DecFree16(void* block) {
  if (!block) return;
  uint8_t* p = static_cast<uint8_t*>(block);
  std::free(p - p[-1]);
}

#if defined(__SANITIZE_ADDRESS__)
#define H264_EXACT_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define H264_EXACT_BLOCKS 1
#endif
#endif

#ifdef H264_EXACT_BLOCKS
// Under AddressSanitizer every buffer is a heap block of exactly its size,
// so that a step past its end is reported, not lost in a mapping's slack.
void* H264DecMapBuffer(size_t size) {
  void* block = nullptr;
  if (posix_memalign(&block, 64, size ? size : 1) != 0) return nullptr;
  std::memset(block, 0, size);
  return block;
}

void H264DecUnmapBuffer(void* block, size_t) { std::free(block); }
#else
namespace {
constexpr size_t kHugePage = size_t{2} << 20;
size_t MappedSize(size_t size) { return (size + kHugePage - 1) & ~(kHugePage - 1); }
}  // namespace

void* H264DecMapBuffer(size_t size) {
  // Twice the alignment more than needed, the unaligned head and tail given back.
  size_t length = MappedSize(size);
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (start + kHugePage > aligned) munmap(reinterpret_cast<void*>(aligned + length), start + kHugePage - aligned);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  // Huge pages only for buffers of one at least: a small picture's buffer
  // would otherwise have a whole 2 MB page zeroed on first touch.
  if (size >= kHugePage) madvise(block, length, MADV_HUGEPAGE);
#endif
  return block;
}

void H264DecUnmapBuffer(void* block, size_t size) {
  if (block) munmap(block, MappedSize(size));
}
#endif

// MMX, CMOV, SSE and SSE2 in this order; the first one missing ends the count.
int H264DecCpuLevel() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  static const unsigned kBits[4] = {1u << 23, 1u << 15, 1u << 25, 1u << 26};
  int level = 0;
  while (level < 4 && (d & kBits[level])) ++level;
  return level;
#else
  return 0;
#endif
}

void H264DecPrepareBuffer(H264DecContext* ctx, int bufferIndex) {
  if (ctx->bufferPrepared[bufferIndex]) return;
  // Luma is zero from the allocation; chroma starts grey.
  std::memset(ctx->frameBuffers[bufferIndex] + ctx->bufferMbs * 256, 0x80, ctx->bufferMbs * 128);
  ctx->bufferPrepared[bufferIndex] = 1;
}

void H264DecResetState(H264DecContext* ctx) {
  std::memset(&ctx->nal, 0, sizeof ctx->nal);
  ctx->drained = 0;
  ctx->dpbSize = ctx->refFrames;
  ctx->dpbFullness = 0;
  ctx->numShortTerm = ctx->numLongTerm = 0;
  ctx->maxLongTermFrameIdx = -1;
  ctx->lastOutputPoc = INT_MIN;
  ctx->pendingField = nullptr;
  for (uint32_t i = 0; i < kH264MaxDpb; ++i) ctx->dpb[i] = nullptr;
  for (uint32_t i = 0; i <= kH264MaxDpb; ++i) std::memset(&ctx->frameStores[i], 0, sizeof(H264DecFrameStore));
  for (uint32_t b = 0; b < ctx->numBuffers; ++b) {
    H264DecPicture* rec = ctx->pictures[b];
    for (int k = 0; k < 3; ++k) {
      std::memset(&rec[k], 0, sizeof(H264DecPicture));
      rec[k].frame = &rec[0];
      rec[k].top = &rec[1];
      rec[k].bottom = &rec[2];
      rec[k].bufferIndex = static_cast<int32_t>(b);
      rec[k].outputState = kH264OutputFree;
    }
  }
  for (uint32_t i = 0; i < kH264MaxSps; ++i) ctx->spsTable[i].id = kH264MaxSps;
  for (uint32_t i = 0; i < kH264MaxPps; ++i) ctx->ppsTable[i].id = kH264MaxPps;
  ctx->activeSps.id = kH264MaxSps;
  ctx->activePps.id = kH264MaxPps;
  std::memset(&ctx->saved, 0, sizeof ctx->saved);
  ctx->saved.pic_parameter_set_id = kH264MaxPps;
  ctx->ringWrite = ctx->ringRead = 0;
  std::memset(&ctx->userData, 0, sizeof ctx->userData);
  ctx->sei224Mark = 0;
  ctx->curPic = nullptr;
  ctx->mbCount = 0;
  ctx->prevPicOrderCntMsb = ctx->prevPicOrderCntLsb = 0;
  ctx->frameNumOffset = ctx->prevFrameNumOffset = 0;
  ctx->prevFrameNum = ctx->prevRefFrameNum = 0;
  ctx->prevHadMmco5 = ctx->prevRefHadMmco5 = ctx->prevRefWasBottomField = 0;
  ctx->prevRefTopPoc = 0;
  ctx->refListLen[0] = ctx->refListLen[1] = 0;
  ctx->streamState = kH264NothingReceived;
  ctx->firstError = 0;
}

static void FreeAll(H264DecContext* ctx) {
  H264DecFreeWorkers(ctx);
  H264DecUnmapBuffer(ctx->deblockMbs, sizeof(H264DecDeblockMb) * ctx->bufferMbs);
  H264DecFree16(ctx->frameStores);
  H264DecFree16(ctx->spsTable);
  H264DecFree16(ctx->ppsTable);
  H264DecFree16(ctx->infoRows);
  H264DecUnmapBuffer(ctx->nalBuffer, ctx->nalBufferSize + kH264NalGuard);
  for (uint32_t b = 0; b < kH264MaxBuffers; ++b) {
    H264DecUnmapBuffer(ctx->frameBuffers[b], ctx->bufferMbs * 384);
    H264DecUnmapBuffer(ctx->motion[b], sizeof(H264MbMotion) * ctx->bufferMbs);
  }
  H264DecUnmapBuffer(ctx->deinterlaceBuffer, ctx->bufferMbs * 384);
  H264DecUnmapBuffer(ctx->deinterlaceState, ctx->bufferMbs * 384);
  H264DecFree16(ctx);
}

H264DecContext* H264Dec_Create(const H264DecParam* param) {
  if (H264DecCpuLevel() < 4 || !param || param->reserved0 || param->reserved1) return nullptr;
  auto* ctx = static_cast<H264DecContext*>(H264DecAlloc16(sizeof(H264DecContext)));
  if (!ctx) return nullptr;
  ctx->widthMbs = param->widthMbs < 2 || param->widthMbs > 1024 ? 120 : param->widthMbs;
  ctx->heightMbs = param->heightMbs < 6 || param->heightMbs > 1024 ? 68 : param->heightMbs;
  ctx->refFrames = param->refFrames == 0 ? 4 : param->refFrames > 16 ? 16 : param->refFrames;
  ctx->flags = param->flags;
  ctx->numBuffers = 2 * ctx->refFrames + 4;
  ctx->bufferMbs = ctx->widthMbs * ctx->heightMbs;
  size_t mbs = ctx->bufferMbs;

  bool ok = true;
  auto alloc = [&](size_t size) -> void* {
    if (!ok) return nullptr;
    void* p = H264DecAlloc16(size);
    if (!p) ok = false;
    return p;
  };
  // Large blocks straight from the system: zero pages cost nothing until
  // first written, and blocks the stream never needs are never touched.
  auto map = [&](size_t size) -> void* {
    if (!ok) return nullptr;
    void* p = H264DecMapBuffer(size);
    if (!p) ok = false;
    return p;
  };
  ctx->spsTable = static_cast<H264Sps*>(alloc(sizeof(H264Sps) * kH264MaxSps));
  ctx->ppsTable = static_cast<H264Pps*>(alloc(sizeof(H264Pps) * kH264MaxPps));
  ctx->infoRows = static_cast<H264MbInfo*>(alloc(sizeof(H264MbInfo) * 4 * ctx->widthMbs));
  // A legal slice of I_PCM macroblocks takes at most 386 bytes per
  // macroblock (header bits and alignment included), plus its slice header.
  ctx->nalBufferSize = static_cast<uint32_t>(mbs * 388 + 8192);
  ctx->nalBuffer = static_cast<uint8_t*>(map(ctx->nalBufferSize + kH264NalGuard));
  if (ctx->flags & H264DEC_FLAG_THREADS) {
    ctx->deblockMbs = static_cast<H264DecDeblockMb*>(map(sizeof(H264DecDeblockMb) * mbs));
    if (ok && !H264DecStartWorkers(ctx)) ok = false;
  }
  ctx->frameStores = static_cast<H264DecFrameStore*>(alloc(sizeof(H264DecFrameStore) * (kH264MaxDpb + 1)));
  ctx->deinterlaceBuffer = static_cast<uint8_t*>(map(mbs * 384));
  for (uint32_t b = 0; b < ctx->numBuffers; ++b) ctx->motion[b] = static_cast<H264MbMotion*>(map(sizeof(H264MbMotion) * mbs));
  for (uint32_t b = 0; b < ctx->numBuffers && ok; ++b) {
    ctx->frameBuffers[b] = static_cast<uint8_t*>(H264DecMapBuffer(mbs * 384));
    if (!ctx->frameBuffers[b]) ok = false;
  }
  if (ctx->flags & H264DEC_FLAG_DEINTERLACE) ctx->deinterlaceState = static_cast<uint8_t*>(map(mbs * 384));
  if (!ok) {
    FreeAll(ctx);
    return nullptr;
  }
  for (uint32_t r = 0; r < 4 * ctx->widthMbs; ++r) ctx->infoRows[r].available = 0;
  for (int k = 0; k < 2; ++k) {
    std::memset(ctx->unavailableMotion[k].refIdxL0, -1, 4);
    std::memset(ctx->unavailableMotion[k].refIdxL1, -1, 4);
  }
  ctx->drainCode[0] = ctx->drainCode[1] = ctx->drainCode[2] = 0;
  ctx->drainCode[3] = 1;
  H264DecResetState(ctx);
#ifdef VELMORA_H264_X86
  H264InstallKernelVariant(&ctx->kernels, H264BestKernelVariant());
  ctx->chromaMc2x2 = H264Chroma2x2OfVariant(H264BestKernelVariant());
#else
  H264InstallKernels(&ctx->kernels);
  ctx->chromaMc2x2 = H264Chroma2x2Kernels;
#endif
  return ctx;
}

void H264Dec_DestroyUnchecked(H264DecContext* ctx) { FreeAll(ctx); }

void H264Dec_Destroy(H264DecContext* ctx) {
  if (ctx) H264Dec_DestroyUnchecked(ctx);
}

H264DecContext* H264Dec_Reset(H264DecContext* ctx) {
  if (ctx) H264DecWaitWorkers(ctx);
  if (ctx) H264DecResetState(ctx);
  return ctx;
}

int H264Dec_GetError(H264DecContext* ctx) {
  if (!ctx) return 0;
  H264DecWaitWorkers(ctx);  // their slices' errors too
  int e = ctx->firstError;
  ctx->firstError = 0;
  return e;
}

int H264DecPopFrame(H264DecContext* ctx, H264DecFrame* frame) {
  if (!ctx || !frame) return H264DEC_BAD_ARG;
  while (ctx->ringRead != ctx->ringWrite) {
    int32_t& entry = ctx->ring[ctx->ringRead % kH264RingSize];
    if (entry < 0 || static_cast<uint32_t>(entry) >= ctx->numBuffers) {
      ++ctx->ringRead;
      continue;
    }
    H264DecPicture* pic = &ctx->pictures[entry][0];
    frame->y = H264DecPlane(ctx, entry, 0);
    frame->u = H264DecPlane(ctx, entry, 1);
    frame->v = H264DecPlane(ctx, entry, 2);
    frame->width = pic->width;
    frame->height = pic->height;
    frame->lumaStride = pic->lumaStride;
    frame->chromaStride = pic->chromaStride;
    frame->cropLeft = pic->cropLeft;
    frame->cropRight = pic->cropRight;
    frame->cropTop = pic->cropTop;
    frame->cropBottom = pic->cropBottom;
    frame->bufferIndex = entry;
    frame->sei224Phase = pic->sei224Phase;
    frame->incomplete = pic->incomplete;
    frame->idr = pic->idr;
    frame->timeStampLow = pic->timeStampLow;
    frame->timeStampHigh = pic->timeStampHigh;
    frame->poc = pic->poc;
    frame->userData = pic->userData;
    frame->pictureInfo = pic->stats;
    pic->outputState = kH264OutputFree;
    entry = -1;
    ++ctx->ringRead;
    if ((ctx->flags & H264DEC_FLAG_DEINTERLACE) && pic->interlaceMode != 0)
      H264DecDeinterlace(ctx, frame, frame->bufferIndex, pic->interlaceMode);
    return H264DEC_PICTURE;
  }
  return H264DEC_NO_MORE;
}

int H264Dec_GetFrame(H264DecContext* ctx, H264DecFrame* frame) { return H264DecPopFrame(ctx, frame); }

// A complete unit sits in the NAL buffer followed by the three bytes of the
// start code that ended it.
static void HandleUnit(H264DecContext* ctx) {
  H264DecNalAssembler& a = ctx->nal;
  uint32_t n = a.writePos;
  uint32_t codedSize = a.consumed + a.removed;
  a.writePos = 0;
  a.consumed = 0;
  a.removed = 0;
  if (n <= 4) return;
  n -= 3;
  while (n > 0 && ctx->nalBuffer[n - 1] == 0) --n;
  std::memset(ctx->nalBuffer + n, 0, kH264NalGuard);
  H264BitReaderInit(&ctx->br, ctx->nalBuffer, n);
  if (ctx->br.bitLength <= 8) return;
  int r = H264DecNalUnit(ctx, codedSize);
  if (r == kH264NalNewPicture || r == kH264NalSamePicture)
    H264DecSaveSliceState(ctx);
  else if (r >= 0x10000000)
    H264DecNoteError(ctx, r);
}

int H264Dec_Decode(H264DecContext* ctx, const uint8_t* data, uint32_t length, uint32_t timeStampLow,
                   uint32_t timeStampHigh, H264DecFrame* frame, int drain) {
  if (!ctx || !frame || (drain != 0 && drain != 1)) return H264DEC_BAD_ARG;
  frame->y = frame->u = frame->v = nullptr;
  H264DecNalAssembler& a = ctx->nal;
  bool draining = false;
  if (data && length) {
    a.input = data;
    a.length = length;
    a.pos = 0;
    a.drainFed = 0;
    ctx->drained = 0;
  } else if (drain) {
    draining = true;
  }
  ctx->timeStampLow = timeStampLow;
  ctx->timeStampHigh = timeStampHigh;

  for (;;) {
    if (!a.input || a.pos >= a.length) {
      // Input used up; a drain closes the last unit with a start code.
      if (!draining || ctx->drained || a.drainFed) break;
      a.input = ctx->drainCode;
      a.length = 4;
      a.pos = 0;
      a.drainFed = 1;
    }
    if (a.state == 1 && (a.window & 0xFFFF) != 0 && a.writePos < ctx->nalBufferSize) {
      // After a non-zero byte, bytes up to the next zero are neither a start
      // code nor an emulation-prevention byte: copied at once.
      const uint8_t* from = a.input + a.pos;
      uint32_t n = std::min(a.length - a.pos, ctx->nalBufferSize - a.writePos);
      if (const void* zero = std::memchr(from, 0, n)) n = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - from);
      if (n > 0) {
        std::memcpy(ctx->nalBuffer + a.writePos, from, n);
        a.writePos += n;
        a.pos += n;
        a.consumed += n;
        for (uint32_t i = n > 3 ? n - 3 : 0; i < n; ++i) a.window = ((a.window << 8) | from[i]) & 0xFFFFFF;
        continue;
      }
    }
    uint8_t b = a.input[a.pos++];
    ++a.consumed;
    a.window = ((a.window << 8) | b) & 0xFFFFFF;
    if (a.state == 1) {
      if (a.window == 0x000003) {
        ++a.removed;
      } else if (a.writePos >= ctx->nalBufferSize) {
        // Longer than the buffer: drop it and wait for the next start code.
        a.state = 0;
        a.writePos = a.consumed = a.removed = 0;
      } else {
        ctx->nalBuffer[a.writePos++] = b;
      }
    }
    if (a.window == 0x000001) {
      if (a.state == 0) {
        a.state = 1;
        a.writePos = a.consumed = a.removed = 0;
        continue;
      }
      HandleUnit(ctx);
      if (H264DecPopFrame(ctx, frame) == H264DEC_PICTURE) return H264DEC_PICTURE;
    }
  }
  a.input = nullptr;
  a.length = a.pos = 0;
  if (!draining) return H264DEC_NEED_INPUT;
  if (!ctx->drained) {
    H264DecWaitWorkers(ctx);
    H264DecFinishCurrentPicture(ctx);
    H264DecClearReferences(ctx);
    ctx->drained = 1;
    a.window = 0xFFFFFF;
  }
  return H264DecPopFrame(ctx, frame) == H264DEC_PICTURE ? H264DEC_PICTURE : H264DEC_NO_MORE;
}
