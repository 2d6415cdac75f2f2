// The decoder's three entry points, its memory pool, the stream buffer that
// cuts NAL units, the picture geometry and the border padding.
#include <sys/mman.h>

#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {
namespace {

size_t RoundUp(size_t v, size_t a) { return (v + a - 1) / a * a; }

void HevcPoolInit(HevcDecoder* dec) {
  HevcMemPool* pool = &dec->stPool;
  pool->iChannel = dec->iChannel;
  pool->iOk = 1;
  pool->iCount = 0;
  pool->MallocFxn = dec->MallocFxn;
  pool->FreeFxn = dec->FreeFxn;
}

void HevcPoolFreeAll(HevcMemPool* pool) {
  for (int i = 0; i < pool->iCount; ++i) {
    if (pool->apBlocks[i]) pool->FreeFxn(pool->iChannel, pool->apBlocks[i]);
    pool->apBlocks[i] = nullptr;
  }
  pool->iCount = 0;
}

void* HevcAllocHandle(IH265D_MallocFxn fn, int32_t channel, size_t n, size_t a) {
  auto* raw = static_cast<uint8_t*>(fn(channel, static_cast<uint32_t>(n + a)));
  if (!raw) return nullptr;
  std::memset(raw, 0, n + a);
  uintptr_t p = (reinterpret_cast<uintptr_t>(raw) + a) & ~(uintptr_t)(a - 1);
  if (p == reinterpret_cast<uintptr_t>(raw)) p += a;
  auto* out = reinterpret_cast<uint8_t*>(p);
  out[-1] = static_cast<uint8_t>(out - raw);
  return out;
}

void HevcFreeHandle(IH265D_FreeFxn fn, int32_t channel, void* p) {
  if (!p) return;
  auto* q = static_cast<uint8_t*>(p);
  fn(channel, q - q[-1]);
}

// The work maps and per-handle records, sized for the maximum picture.
void HevcAllocPictureWork(HevcDecoder* dec) {
  HevcMemPool* pool = &dec->stPool;
  const size_t W = dec->iMaxWidth, H = dec->iMaxHeight;
  const size_t n4 = (W / 4) * (H / 4);
  dec->iMap4Stride = static_cast<int32_t>(W / 4);
  dec->pPredModeMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, n4, 64));
  dec->pCodedMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, n4, 64));
  dec->pQpYMap = static_cast<int8_t*>(HevcPoolAlloc(pool, n4, 64));
  dec->pPcmBypassMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, n4 / 4, 64));
  dec->pSkipFlagMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, n4, 64));
  dec->pCtDepthMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, n4, 64));
  const size_t lines = H / 16 + 1;
  dec->aiIntraLineStride[0] = static_cast<int32_t>(W + 257);
  dec->aiIntraLineStride[1] = dec->aiIntraLineStride[2] = static_cast<int32_t>((W + 256) / 2 + 1);
  for (int c = 0; c < 3; ++c)
    dec->apIntraLine[c] = static_cast<uint8_t*>(HevcPoolAlloc(pool, lines * dec->aiIntraLineStride[c], 64));
  const size_t ctbs = (W / 16) * (H / 16);
  dec->iMaxCtbs = static_cast<int32_t>(ctbs);
  dec->pSaoParamMap = static_cast<HevcSaoParams*>(HevcPoolAlloc(pool, ctbs * sizeof(HevcSaoParams), 64));
  dec->pDeblockParamMap = static_cast<int8_t*>(HevcPoolAlloc(pool, ctbs * 2, 64));
  dec->pCtbSliceAddrMap = static_cast<int32_t*>(HevcPoolAlloc(pool, ctbs * 4, 64));
  dec->pCtbDoneMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, ctbs, 64));
  dec->pCtbLfAcrossSlicesMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, ctbs, 64));
  dec->pSaoDoneMap = static_cast<uint8_t*>(HevcPoolAlloc(pool, ctbs, 64));
  // motion of the current picture and the motion-compensation scratch
  dec->pPuMotionStore = static_cast<HevcMotionInfo*>(HevcPoolAlloc(pool, n4 * sizeof(HevcMotionInfo), 64));
  dec->pPuIndexMap = static_cast<int32_t*>(HevcPoolAlloc(pool, n4 * 4, 64));
  dec->pRowPuCount = static_cast<int32_t*>(HevcPoolAlloc(pool, lines * 4, 64));
  auto* scratch = static_cast<int16_t*>(HevcPoolAlloc(pool, 4 * 64 * 64 * 2, 64));
  for (int i = 0; i < 4; ++i) dec->apPredScratch[i] = scratch ? scratch + i * 64 * 64 : nullptr;  // the caller's thread
  dec->pSavedBs = static_cast<uint8_t*>(HevcPoolAlloc(pool, lines * 32, 64));
  // the SAO source: a scratch picture with the margins of a picture
  const size_t L = (W + 2 * kPadX) * (H + 2 * kPadY);
  // not zeroed: a CTB's samples and the rows and columns of its neighbours
  // that SAO reads are copied in (in this picture) before they are read
  auto* sao = static_cast<uint8_t*>(HevcPoolAllocLarge(pool, (L * 3 / 2 + 63) / 64 * 64));
  if (sao) {
    dec->apSaoBase[0] = sao;
    dec->apSaoBase[1] = sao + L;
    dec->apSaoBase[2] = sao + L + L / 4;
  }
  dec->pSaoScratch = static_cast<uint8_t*>(HevcPoolAllocRaw(pool, kSaoScratchRows * (W + 2 * kPadX), 64));
  dec->pWppCtx = static_cast<uint8_t*>(HevcPoolAlloc(pool, kNumCtx, 64));
  dec->pCabac = static_cast<HevcCabac*>(HevcPoolAlloc(pool, sizeof(HevcCabac), 64));
  dec->pCtu = static_cast<HevcCtu*>(HevcPoolAlloc(pool, sizeof(HevcCtu), 64));
}

void HevcAllocParameterSets(HevcDecoder* dec) {
  HevcMemPool* pool = &dec->stPool;
  const size_t vpsSize = RoundUp(sizeof(HevcVps), 64), spsSize = RoundUp(sizeof(HevcSps), 64);
  const size_t ppsSize = RoundUp(sizeof(HevcPps), 64);
  auto* v = static_cast<uint8_t*>(HevcPoolAlloc(pool, 16 * vpsSize, 64));
  auto* s = static_cast<uint8_t*>(HevcPoolAlloc(pool, 16 * spsSize, 64));
  auto* p = static_cast<uint8_t*>(HevcPoolAlloc(pool, 64 * ppsSize, 64));
  if (!v || !s || !p) return;
  for (int i = 0; i < 16; ++i) dec->apVps[i] = reinterpret_cast<HevcVps*>(v + i * vpsSize);
  for (int i = 0; i < 16; ++i) dec->apSps[i] = reinterpret_cast<HevcSps*>(s + i * spsSize);
  for (int i = 0; i < 64; ++i) dec->apPps[i] = reinterpret_cast<HevcPps*>(p + i * ppsSize);
  const size_t cols = dec->iMaxWidth / 16, rows = dec->iMaxHeight / 16, ctbs = cols * rows;
  dec->piTileColWidth = static_cast<int32_t*>(HevcPoolAlloc(pool, RoundUp(cols * 4, 64), 64));
  dec->piTileRowHeight = static_cast<int32_t*>(HevcPoolAlloc(pool, RoundUp(rows * 4, 64), 64));
  // one block per kind of per-PPS array, sliced 64 ways; a PPS derives all of
  // its arrays before any reader sees them, so they are not zeroed
  const size_t sizes[11] = {RoundUp(cols * 4, 64), RoundUp(rows * 4, 64), RoundUp((cols + 1) * 4, 64),
                            RoundUp((rows + 1) * 4, 64), RoundUp(ctbs * 4, 64), RoundUp(ctbs * 4, 64),
                            RoundUp(ctbs * 4, 64), 6 * 6 * 16 * 2, 6 * 6 * 64 * 2, 6 * 6 * 256 * 2,
                            2 * 6 * 1024 * 2};
  for (int k = 0; k < 11; ++k) {
    auto* block = static_cast<uint8_t*>(HevcPoolAllocRaw(pool, 64 * sizes[k], 64));
    if (!block) return;
    for (int i = 0; i < 64; ++i) {
      HevcPps* pps = dec->apPps[i];
      void* a = block + i * sizes[k];
      switch (k) {
        case 0: pps->column_width = static_cast<int32_t*>(a); break;
        case 1: pps->row_height = static_cast<int32_t*>(a); break;
        case 2: pps->colBd = static_cast<int32_t*>(a); break;
        case 3: pps->rowBd = static_cast<int32_t*>(a); break;
        case 4: pps->CtbAddrRsToTs = static_cast<int32_t*>(a); break;
        case 5: pps->CtbAddrTsToRs = static_cast<int32_t*>(a); break;
        case 6: pps->TileId = static_cast<int32_t*>(a); break;
        default: pps->factor[k - 7] = static_cast<int16_t*>(a); break;
      }
    }
  }
  dec->pUserData = static_cast<uint8_t*>(HevcPoolAlloc(pool, RoundUp(kUserDataMax + 4, 64), 64));
}

void SetLength(uint8_t* userData, int32_t len) { std::memcpy(userData + kUserDataMax, &len, 4); }

void KeepFrom(HevcDecoder* dec, int32_t from) {
  int32_t n = dec->iStreamBufBytes - from;
  if (n > 0 && from > 0) std::memmove(dec->pStreamBuf, dec->pStreamBuf + from, n);
  dec->iStreamBufBytes = n > 0 ? n : 0;
}

int32_t DecodeStream(HevcDecoder* dec, const IH265D_InArgs* in, IH265D_OutArgs* out) {
  out->iBytesTaken = 0;
  uint32_t taken = 0;
  do {
    uint32_t room = static_cast<uint32_t>(dec->iStreamBufSize - dec->iStreamBufBytes);
    uint32_t n = in->iStreamLen - taken < room ? in->iStreamLen - taken : room;
    if (n) std::memcpy(dec->pStreamBuf + dec->iStreamBufBytes, in->pStream + taken, n);
    dec->iStreamBufBytes += static_cast<int32_t>(n);
    taken += n;
    // readers that look ahead past the last unit see zeros, never old or unset bytes
    std::memset(dec->pStreamBuf + dec->iStreamBufBytes, 0,
                static_cast<size_t>(dec->iStreamBufSize - dec->iStreamBufBytes < 64 ? dec->iStreamBufSize - dec->iStreamBufBytes : 64));
    out->iBytesTaken = taken;
    uint8_t* buf = dec->pStreamBuf;
    int64_t s;
    int scS;
    HevcFindStartCode(buf, dec->iStreamBufBytes, &s, &scS);
    if (s < 0) {
      if (dec->iStreamBufBytes == dec->iStreamBufSize) KeepFrom(dec, dec->iStreamBufBytes - 3);
      continue;
    }
    for (;;) {
      int64_t from = s + scS, nOff;
      int scN;
      HevcFindStartCode(buf + from, dec->iStreamBufBytes - from, &nOff, &scN);
      if (nOff < 0) {
        if (s == 0 && dec->iStreamBufBytes == dec->iStreamBufSize)
          KeepFrom(dec, dec->iStreamBufBytes - 3);
        else
          KeepFrom(dec, static_cast<int32_t>(s));
        break;
      }
      int64_t next = from + nOff;
      int32_t unitLen = static_cast<int32_t>(next - from);
      if (unitLen > 0) {
        int32_t r = HevcDecodeNalUnit(dec, buf + from, unitLen, scN);
        if (r == 2) {
          if (HevcOutputPicture(dec, dec->eOutputOrder == 0, out) == 0) {
            KeepFrom(dec, static_cast<int32_t>(s));
            return 0;
          }
          r = HevcDecodeNalUnit(dec, buf + from, unitLen, scN);
        }
        if (r != 0 && r != 2) {
          KeepFrom(dec, static_cast<int32_t>(next));
          return r;
        }
      }
      s = next;
      scS = scN;
    }
  } while (taken < in->iStreamLen);
  out->DecodeStatus = IH265D_NEED_MORE_BITS;
  return IH265D_NEED_MORE;
}

int32_t Drain(HevcDecoder* dec, IH265D_OutArgs* out) {
  if (dec->iStreamBufBytes > 0) {
    int64_t s;
    int sc;
    HevcFindStartCode(dec->pStreamBuf, dec->iStreamBufBytes, &s, &sc);
    if (s < 0) {
      dec->iStreamBufBytes = 0;
    } else {
      int32_t from = static_cast<int32_t>(s + sc);
      if (dec->eThreadType == 1) dec->stAu.iAuState = 1;
      int32_t r = HevcDecodeNalUnit(dec, dec->pStreamBuf + from, dec->iStreamBufBytes - from, sc);
      if (r != 2) dec->iStreamBufBytes = 0;
      if (r != 0 && r != 2) return r;
    }
  }
  if (HevcOutputPicture(dec, 1, out) != 0) out->DecodeStatus = IH265D_NO_PICTURE;
  return IH265D_OK;
}

}  // namespace

namespace {

void* PoolAlloc(HevcMemPool* pool, size_t n, size_t a, bool zero) {
  if (!pool->iOk) return nullptr;
  if (pool->iCount >= kPoolBlocks || n > 0xFFFFFFFFull - a - 64) {
    pool->iOk = 0;
    return nullptr;
  }
  // 64 spare bytes after every block: readers that look a little ahead stay inside
  size_t total = n + a + 64;
  auto* raw = static_cast<uint8_t*>(pool->MallocFxn(pool->iChannel, static_cast<uint32_t>(total)));
  if (!raw) {
    pool->iOk = 0;
    return nullptr;
  }
  pool->apBlocks[pool->iCount++] = raw;
  auto* out = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(raw) + a - 1) & ~(uintptr_t)(a - 1));
  // the bytes around the block but the 64 after it are never read: a large
  // alignment leaves them untouched
  std::memset(zero ? out : out + n, 0, zero ? n + 64 : 64);
  return out;
}

}  // namespace

void* HevcPoolAlloc(HevcMemPool* pool, size_t n, size_t a) { return PoolAlloc(pool, n, a, true); }

void* HevcPoolAllocLarge(HevcMemPool* pool, size_t n) {
  constexpr size_t kHuge = size_t{2} << 20;
  const bool huge = n >= 2 * kHuge;
  void* p = PoolAlloc(pool, n, huge ? kHuge : 64, false);
#ifdef MADV_HUGEPAGE
  if (p && huge) madvise(p, n & ~(kHuge - 1), MADV_HUGEPAGE);
#endif
  return p;
}
void* HevcPoolAllocRaw(HevcMemPool* pool, size_t n, size_t a) { return PoolAlloc(pool, n, a, false); }

int HevcMemset(void* dst, int64_t size, int value, int64_t count) {
  if (size <= 0) return 34;
  if (!dst) return 22;
  int64_t n = count < size ? count : size;
  if (n > 0) std::memset(dst, value, static_cast<size_t>(n));
  return count > size ? 162 : 0;
}

int32_t HevcSetPictureGeometry(HevcDecoder* dec, HevcPictureInfo* info) {
  const HevcSps* sps = dec->pSps;
  int w = sps->pic_width_in_luma_samples, h = sps->pic_height_in_luma_samples;
  info->iWidth = w;
  info->iHeight = h;
  info->iWidthC = w >> 1;
  info->iHeightC = h >> 1;
  int ctb = sps->CtbSizeY;
  info->iStride = (w + ctb + 255) / ctb * ctb;
  info->iStrideC = info->iStride >> 1;
  info->PicWidthInCtbsY = sps->PicWidthInCtbsY;
  info->PicHeightInCtbsY = sps->PicHeightInCtbsY;
  info->PicSizeInCtbsY = sps->PicWidthInCtbsY * sps->PicHeightInCtbsY;
  info->iWidth4 = (w + 3) >> 2;
  info->iHeight4 = (h + 3) >> 2;
  info->iWidth8 = (w + 7) >> 3;
  info->iHeight8 = (h + 7) >> 3;
  info->iWidth16 = (w + 15) >> 4;
  int mcb = sps->MinCbLog2SizeY;
  info->PicWidthInMinCbsY = (w + (1 << mcb) - 1) >> mcb;
  info->PicHeightInMinCbsY = (h + (1 << mcb) - 1) >> mcb;
  info->iWidthMinTb = w >> sps->log2_min_luma_transform_block_size;
  if (w > dec->iMaxWidth) {
    HEVC_ERR(dec, "IH265D_Decode : PicWidthInSamplesY is %d, should be less than or equal to %d!\n", w, dec->iMaxWidth);
    return IH265D_ERR_WIDTH;
  }
  if (h > dec->iMaxHeight) {
    HEVC_ERR(dec, "IH265D_Decode : PicHeightInSamplesY is %d, should be less than or equal to %d!\n", h, dec->iMaxHeight);
    return IH265D_ERR_HEIGHT;
  }
  return 0;
}

void HevcPadPicture(HevcDecoder* dec) {
  HevcPicture* pic = dec->pCurPic;
  if (!pic) return;
  auto border = Kernel<BorderFn>(dec->stDsp, kSlotBorder);
  const HevcPictureInfo& g = dec->stPic;
  border(dec->eThreadType, pic->apucPlane[0], g.iWidth, g.iHeight, g.iStride, kPadX, kPadY);
  border(dec->eThreadType, pic->apucPlane[1], g.iWidthC, g.iHeightC, g.iStrideC, kPadX / 2, kPadY / 2);
  border(dec->eThreadType, pic->apucPlane[2], g.iWidthC, g.iHeightC, g.iStrideC, kPadX / 2, kPadY / 2);
}

}  // namespace hevc

using namespace hevc;

int32_t IH265D_Create(IH265D_HANDLE* phDecoder, IH265D_InitParam* p) {
  if (!phDecoder || !p) return IH265D_ERR_ARG;
  if (!p->MessageFxn) return IH265D_ERR_MESSAGEFXN;
  auto msg = [&](const char* text) { p->MessageFxn(p->iChannel, 0, text); };
  if (!p->MallocFxn) {
    msg("IH265D_Create : pstInitParam->MallocFxn is NULL !\n");
    return IH265D_ERR_MALLOCFXN;
  }
  if (!p->FreeFxn) {
    msg("IH265D_Create : pstInitParam->FreeFxn is NULL !\n");
    return IH265D_ERR_FREEFXN;
  }
  if (p->eOutputOrder != 0 && p->eOutputOrder != 1) {
    p->MessageFxn(p->iChannel, 1,
                  "IH265D_Create : pstInitParam->eOutputOrder is invalid, default to be IH265D_DISPLAY_ORDER!\n");
    p->eOutputOrder = 1;
  }
  if (p->iMaxWidth > kMaxSize || p->iMaxWidth < 8) {
    p->MessageFxn(p->iChannel, 0, "IH265D_Create : pstInitParam->iMaxWidth should be in the range of %d ~ %d !\n", 8,
                  kMaxSize);
    return IH265D_ERR_WIDTH;
  }
  if (p->iMaxHeight > kMaxSize || p->iMaxHeight < 8) {
    p->MessageFxn(p->iChannel, 0, "IH265D_Create : pstInitParam->iMaxHeight should be in the range of %d ~ %d !\n", 8,
                  kMaxSize);
    return IH265D_ERR_HEIGHT;
  }
  if (p->iMaxRefNum > kMaxRef || p->iMaxRefNum < 0) {
    p->MessageFxn(p->iChannel, 0, "IH265D_Create : pstInitParam->iMaxRefNum should be in the range of 0 ~ %d !\n",
                  kMaxRef);
    return IH265D_ERR_REFNUM;
  }
  if (p->eThreadType != 0 && p->eThreadType != 1) {
    p->MessageFxn(p->iChannel, 0, "IH265D_Create : pstInitParam->eThreadType is %d, should be 0 or 1 !\n",
                  p->eThreadType);
    return IH265D_ERR_THREADTYPE;
  }
  auto* dec = static_cast<HevcDecoder*>(HevcAllocHandle(p->MallocFxn, p->iChannel, sizeof(HevcDecoder), 16));
  if (!dec) {
    msg("IH265D_Create : p_dec_obj malloc failed!\n");
    return IH265D_ERR_MALLOC;
  }
  HevcInstallKernels(&dec->stDsp, &dec->iCpuFlags, 1);
  dec->iPoolAlign = 64;
  dec->iChannel = p->iChannel;
  dec->iMaxWidth = (p->iMaxWidth + 63) & ~63;
  dec->iMaxHeight = (p->iMaxHeight + 63) & ~63;
  dec->iMaxRefNum = p->iMaxRefNum;
  const int64_t area = static_cast<int64_t>(dec->iMaxWidth) * dec->iMaxHeight;
  dec->iStreamBufSize = area > 2088960 ? static_cast<int32_t>(area * 3) : 3133440;
  dec->eThreadType = p->eThreadType;
  dec->eThreadTypeDelete = p->eThreadType;
  dec->eOutputOrder = p->eOutputOrder;
  dec->llCurTimeStamp = dec->llLastTimeStamp = -1;
  dec->MallocFxn = p->MallocFxn;
  dec->FreeFxn = p->FreeFxn;
  dec->MessageFxn = p->MessageFxn;
  HevcPoolInit(dec);
  HevcAllocParameterSets(dec);
  HevcAllocDpb(dec);
  HevcAllocPictureWork(dec);
  dec->pStreamBuf = static_cast<uint8_t*>(HevcPoolAllocRaw(&dec->stPool, dec->iStreamBufSize, 64));
  if (!dec->stPool.iOk) {
    msg("IH265D_Create : malloc failed!\n");
    HevcPoolFreeAll(&dec->stPool);
    HevcFreeHandle(p->FreeFxn, p->iChannel, dec);
    return IH265D_ERR_MALLOC;
  }
  SetLength(dec->pUserData, 0);
  dec->iStreamBufBytes = dec->iVclBytes = dec->iErrorPending = dec->iErrorLatched = 0;
  dec->iSeqStart = 1;
  dec->NoRaslOutputFlag = 1;
  dec->iFirstSliceToggle = p->eThreadType == 0 ? 1 : 0;
  if (p->eThreadType == 1) {
    dec->stAu.pBuf = static_cast<uint8_t*>(HevcPoolAllocRaw(&dec->stPool, dec->iStreamBufSize, 64));
    if (!dec->stAu.pBuf || HevcThreadsInit(dec) || HevcThreadsStart(dec)) {
      HevcThreadsStop(dec);
      HevcPoolFreeAll(&dec->stPool);
      HevcFreeHandle(p->FreeFxn, p->iChannel, dec);
      return IH265D_ERR_THREADPOOL;
    }
  }
  dec->uiMagic = kMagic;
  *phDecoder = dec;
  return IH265D_OK;
}

int32_t IH265D_Decode(IH265D_HANDLE h, const IH265D_InArgs* in, IH265D_OutArgs* out) {
  auto* dec = static_cast<HevcDecoder*>(h);
  if (!dec) return IH265D_ERR_ARG;
  if (dec->uiMagic != kMagic) return IH265D_ERR_HANDLE;
  if (!in) {
    HEVC_ERR(dec, "IH265D_Decode : pstInArgs is NULL !\n");
    return IH265D_ERR_ARG;
  }
  if (!out) {
    HEVC_ERR(dec, "IH265D_Decode : pstOutArgs is NULL !\n");
    return IH265D_ERR_ARG;
  }
  if (in->DecodeMode == 0 && !in->pStream) {
    HEVC_ERR(dec, "IH265D_Decode : pstInArgs->pStream is NULL !\n");
    return IH265D_ERR_STREAM_NULL;
  }
  if (in->DecodeMode != 0 && in->DecodeMode != 1) {
    HEVC_ERR(dec, "IH265D_Decode : DecodeMode input is error !\n");
    return IH265D_ERR_ARG;
  }
  if (dec->llCurTimeStamp == -1)
    dec->llCurTimeStamp = in->llTimeStamp;
  else if (dec->llLastTimeStamp != in->llTimeStamp)
    dec->llCurTimeStamp = dec->llLastTimeStamp;
  if (in->DecodeMode != 1) dec->llLastTimeStamp = in->llTimeStamp;
  out->DecodeStatus = IH265D_ERR;
  if (in->DecodeMode == 1) return Drain(dec, out);
  return DecodeStream(dec, in, out);
}

int32_t IH265D_Delete(IH265D_HANDLE h) {
  auto* dec = static_cast<HevcDecoder*>(h);
  if (!dec) return IH265D_ERR_ARG;
  if (dec->uiMagic != kMagic) return IH265D_ERR_HANDLE;
  dec->uiMagic = 0;
  if (dec->eThreadTypeDelete == 1) HevcThreadsStop(dec);
  IH265D_FreeFxn freeFxn = dec->FreeFxn;
  int32_t channel = dec->stPool.iChannel;
  HevcPoolFreeAll(&dec->stPool);
  HevcFreeHandle(freeFxn, channel, dec);
  return IH265D_OK;
}
