// Worker threads: four threads that decode slices on copies of the context
// while the caller's thread parses the next headers, and the deblocking pass
// that filters what the workers left unfiltered once all slices of the
// picture are done. The last slice handed over waits until another slice
// follows; when the caller has to wait instead, it decodes that slice
// itself, so a picture of one slice costs no hand-off between threads.
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "codecs/h264/h264_internal.h"

enum : int { kH264Workers = 4 };

struct H264DecWorker {
  H264DecContext* copy = nullptr;
  H264MbInfo* infoRows = nullptr;
  uint8_t* spareNal = nullptr;
  // The caller's thread only: taken and not yet collected, and the first
  // macroblock of the slice it holds.
  bool busy = false;
  uint32_t first = 0;
  uint32_t end = 0;  // once started
  int result = 0;  // of the slice, as the slice loops return it
  // Manual-reset events, under the block's mutex.
  bool run = false;
  bool quit = false;
  bool done = false;
  std::thread thread;
};

struct H264DecWorkerBlock {
  std::mutex mutex;
  std::condition_variable wake;  // run or quit set
  std::condition_variable doneSet;
  H264DecWorker workers[kH264Workers];
  H264DecWorker* pending = nullptr;  // copied, not yet started (caller's thread only)
};

namespace {

// The whole context but its picture records, which a worker reaches through
// the caller's context (and which other workers count into).
void CopyContext(H264DecContext* to, const H264DecContext* from) {
  constexpr size_t kRecords = offsetof(H264DecContext, pictures);
  constexpr size_t kAfter = kRecords + sizeof(H264DecContext::pictures);
  auto* dst = reinterpret_cast<uint8_t*>(to);
  const auto* src = reinterpret_cast<const uint8_t*>(from);
  std::memcpy(dst, src, kRecords);
  std::memcpy(dst + kAfter, src + kAfter, sizeof(H264DecContext) - kAfter);
}

// The records of the inline slice's last macroblock row: the only ones of
// it that border later slices (which all lie behind it), read by the pass.
// The rows of macroblock information still hold them.
void SaveInlineTail(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  uint32_t width = s.PicWidthInMbs;
  uint32_t end = static_cast<uint32_t>(ctx->mb.mbAddr);
  if (end > s.PicSizeInMbs) end = s.PicSizeInMbs;
  uint32_t begin = end > s.first_mb_in_slice + width ? end - width : s.first_mb_in_slice;
  for (uint32_t addr = begin; addr < end; ++addr) {
    H264DecDeblockMb& r = ctx->deblockMbs[addr];
    uint32_t x = addr % width, y = addr / width;
    r.picSerial = ctx->picSerial;
    r.slice = ctx->sliceSerial;
    r.idc = static_cast<uint8_t>(s.disable_deblocking_filter_idc);
    r.filtered = 1;
    if (r.idc == 1) continue;
    r.alpha = static_cast<int8_t>(s.slice_alpha_c0_offset_div2);
    r.beta = static_cast<int8_t>(s.slice_beta_offset_div2);
    r.info = ctx->infoRows[(y & 1) * ctx->widthMbs + x];
  }
}

// Decodes the slice a worker's copy holds (on whichever thread calls).
// Errors are dropped, as the slice's are without workers.
void RunSlice(H264DecWorker* w) {
  H264DecContext* ctx = w->copy;
  ctx->mb.mbAddr = static_cast<int32_t>(ctx->slice.first_mb_in_slice);
  w->result = ctx->activePps.entropy_coding_mode_flag ? H264SliceDataCabac(ctx) : H264SliceDataCavlc(ctx);
  if (ctx->deblockInline) SaveInlineTail(ctx);
}

// Takes a finished worker's count of macroblocks and its slice's error into
// the caller's context, as the slice would have left them on one thread.
void Collect(H264DecContext* ctx, H264DecWorker* w) {
  ctx->mbCount += w->copy->mbCount;
  if (w->result) H264DecNoteError(ctx, 0x40000000 + w->result);
  w->result = 0;
}

void WorkerThread(H264DecWorkerBlock* block, H264DecWorker* w) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(block->mutex);
      block->wake.wait(lock, [w] { return w->run || w->quit; });
      if (w->quit) return;
      w->run = false;
    }
    RunSlice(w);
    {
      std::lock_guard<std::mutex> lock(block->mutex);
      w->done = true;
    }
    block->doneSet.notify_all();
  }
}

// The first idle worker, else the first to finish (collected).
H264DecWorker* PickWorker(H264DecContext* ctx, H264DecWorkerBlock* block) {
  for (H264DecWorker& w : block->workers)
    if (!w.busy) {
      w.busy = true;
      return &w;
    }
  std::unique_lock<std::mutex> lock(block->mutex);
  for (;;) {
    for (H264DecWorker& w : block->workers)
      if (w.done) {
        w.done = false;
        Collect(ctx, &w);
        return &w;
      }
    block->doneSet.wait(lock);
  }
}

// Whether a slice from macroblock `first` on may share macroblocks with one
// handed over and not yet collected: one that starts at or behind it, or a
// started one allowed to run past it.
bool Overlaps(const H264DecWorkerBlock* block, uint32_t first) {
  for (const H264DecWorker& w : block->workers) {
    if (!w.busy) continue;
    if (w.first >= first) return true;
    if (&w != block->pending && w.end > first) return true;
  }
  return false;
}

// Lets the pending slice's worker start; it stops before macroblock `end`,
// where the next slice begins.
void StartPending(H264DecWorkerBlock* block, uint32_t end) {
  H264DecWorker* w = block->pending;
  if (!w) return;
  block->pending = nullptr;
  w->end = w->copy->sliceEnd = end;
  {
    std::lock_guard<std::mutex> lock(block->mutex);
    w->run = true;
  }
  block->wake.notify_all();
}

void StopWorkers(H264DecWorkerBlock* block) {
  {
    std::lock_guard<std::mutex> lock(block->mutex);
    for (H264DecWorker& w : block->workers) w.quit = true;
  }
  block->wake.notify_all();
  for (H264DecWorker& w : block->workers)
    if (w.thread.joinable()) w.thread.join();
}

}  // namespace

bool H264DecStartWorkers(H264DecContext* ctx) {
  auto* block = new (std::nothrow) H264DecWorkerBlock;
  if (!block) return false;
  ctx->workers = block;
  for (H264DecWorker& w : block->workers) {
    w.copy = static_cast<H264DecContext*>(H264DecAlloc16(sizeof(H264DecContext)));
    w.infoRows = static_cast<H264MbInfo*>(H264DecAlloc16(sizeof(H264MbInfo) * 4 * ctx->widthMbs));
    w.spareNal = static_cast<uint8_t*>(H264DecMapBuffer(ctx->nalBufferSize + kH264NalGuard));
    if (!w.copy || !w.infoRows || !w.spareNal) return false;
  }
  for (H264DecWorker& w : block->workers) {
    try {
      w.thread = std::thread(WorkerThread, block, &w);
    } catch (...) {
      return false;
    }
  }
  return true;
}

void H264DecFreeWorkers(H264DecContext* ctx) {
  H264DecWorkerBlock* block = ctx->workers;
  if (!block) return;
  StopWorkers(block);
  for (H264DecWorker& w : block->workers) {
    H264DecFree16(w.copy);
    H264DecFree16(w.infoRows);
    H264DecUnmapBuffer(w.spareNal, ctx->nalBufferSize + kH264NalGuard);
  }
  delete block;
  ctx->workers = nullptr;
}

void H264DecDispatchSlice(H264DecContext* ctx) {
  H264DecWorkerBlock* block = ctx->workers;
  uint32_t first = ctx->slice.first_mb_in_slice;
  // No two threads write a macroblock: a slice that repeats or goes back
  // waits for those handed over before it, and each slice stops where the
  // next one begins.
  if (Overlaps(block, first)) H264DecWaitWorkers(ctx);
  StartPending(block, first);
  H264DecWorker* w = PickWorker(ctx, block);
  w->first = first;
  ++ctx->sliceSerial;
  CopyContext(w->copy, ctx);
  H264DecContext* copy = w->copy;
  copy->infoRows = w->infoRows;
  copy->workers = nullptr;
  copy->mbCount = 0;
  // Only the slice holding the first macroblock can be filtered as it is
  // decoded: the rest of the picture follows it in the filter's order.
  copy->deblockInline = ctx->slice.first_mb_in_slice == 0 && ctx->inlineSerial != ctx->picSerial;
  if (copy->deblockInline)
    ctx->inlineSerial = ctx->picSerial;
  else if (ctx->slice.disable_deblocking_filter_idc != 1)
    ctx->deblockPass = 1;
  // The copy keeps the buffer holding the slice; the caller's context goes on
  // with the worker's spare one.
  uint8_t* slice = ctx->nalBuffer;
  ctx->nalBuffer = w->spareNal;
  w->spareNal = slice;
  block->pending = w;
}

void H264DecWaitWorkers(H264DecContext* ctx) {
  H264DecWorkerBlock* block = ctx->workers;
  if (!block) return;
  if (H264DecWorker* w = block->pending) {
    block->pending = nullptr;
    RunSlice(w);
    Collect(ctx, w);
    w->busy = false;
  }
  std::unique_lock<std::mutex> lock(block->mutex);
  for (H264DecWorker& w : block->workers) {
    if (!w.busy) continue;
    block->doneSet.wait(lock, [&w] { return w.done; });
    w.done = false;
    w.busy = false;
    Collect(ctx, &w);
  }
}

// ---------------------------------------------------------------------------
// Deblocking after the slices

void H264DecSaveDeblockMb(H264DecContext* ctx) {
  const H264SliceHeader& s = ctx->slice;
  H264DecDeblockMb& r = ctx->deblockMbs[ctx->mb.mbAddr];
  r.picSerial = ctx->picSerial;
  r.slice = ctx->sliceSerial;
  r.idc = static_cast<uint8_t>(s.disable_deblocking_filter_idc);
  r.filtered = static_cast<uint8_t>(ctx->deblockInline);
  if (r.idc == 1) return;
  r.alpha = static_cast<int8_t>(s.slice_alpha_c0_offset_div2);
  r.beta = static_cast<int8_t>(s.slice_beta_offset_div2);
  std::memcpy(r.edgeStrength, ctx->mb.edgeStrength, sizeof r.edgeStrength);
  r.info = *ctx->nbInfo[kH264NbCurrent];
}

namespace {

// Filters macroblock addr of the current picture from the records, as the
// single-threaded decoder filters it right after decoding it.
void DeblockOne(H264DecContext* ctx, uint32_t addr) {
  H264DecPicture* pic = ctx->curPic;
  H264DecDeblockMb& r = ctx->deblockMbs[addr];
  if (r.picSerial != ctx->picSerial || r.idc == 1 || r.filtered) return;
  int field = pic->structure == 1 || pic->structure == 2 ? 1 : 0;
  int bottom = pic->structure == 2 ? 1 : 0;
  uint32_t widthMbs = static_cast<uint32_t>(pic->frame->width) / 16;
  int64_t stride = pic->frame->width;
  int pitch = static_cast<int>(stride) << field;
  H264MbWork& w = ctx->mb;
  uint32_t x = addr % widthMbs, y = addr / widthMbs;
  w.mbX = static_cast<int32_t>(x);
  w.mbY = static_cast<int32_t>(y);
  w.lumaRowOffset = stride * ((16 << field) * static_cast<int64_t>(y) + bottom);
  w.chromaRowOffset = (stride / 2) * ((8 << field) * static_cast<int64_t>(y) + bottom);
  std::memcpy(w.edgeStrength, r.edgeStrength, sizeof r.edgeStrength);
  H264DecDeblockMb* left =
      x > 0 && ctx->deblockMbs[addr - 1].picSerial == ctx->picSerial ? &ctx->deblockMbs[addr - 1] : nullptr;
  H264DecDeblockMb* top = y > 0 && ctx->deblockMbs[addr - widthMbs].picSerial == ctx->picSerial
                              ? &ctx->deblockMbs[addr - widthMbs]
                              : nullptr;
  // Edges to another slice were not known to the worker: they are filtered
  // as the slice's filter setting says, from both macroblocks' records.
  if (r.idc == 0) {
    // The picture's motion record, row by row of the frame for a field.
    const H264MbMotion* m =
        ctx->motion[pic->bufferIndex] + x + ((static_cast<size_t>(y) << field) + bottom) * widthMbs;
    size_t rowStride = static_cast<size_t>(widthMbs) << field;
    if (left && left->slice != r.slice)
      H264MbEdgeStrengths(&r.info, m, &left->info, m - 1, 0, field != 0, w.edgeStrength);
    if (top && top->slice != r.slice)
      H264MbEdgeStrengths(&r.info, m, &top->info, m - rowStride, 1, field != 0, w.edgeStrength + 8);
  }
  bool any = false;
  for (uint8_t e : w.edgeStrength) any |= e != 0;
  if (!any) return;  // nothing to filter: the samples stay as they are
  const uint8_t* py = H264DecPlane(ctx, pic->bufferIndex, 0) + w.lumaRowOffset + 16 * x;
  const uint8_t* pu = H264DecPlane(ctx, pic->bufferIndex, 1) + w.chromaRowOffset + 8 * x;
  const uint8_t* pv = H264DecPlane(ctx, pic->bufferIndex, 2) + w.chromaRowOffset + 8 * x;
  for (int row = 0; row < 16; ++row) {
    std::memcpy(w.samples + H264MbLumaPos(0, row), py + row * pitch, 8);
    std::memcpy(w.samples + H264MbLumaPos(8, row), py + row * pitch + 8, 8);
  }
  for (int row = 0; row < 8; ++row) {
    std::memcpy(w.samples + kMbSamplesCb + 8 * row, pu + row * (pitch / 2), 8);
    std::memcpy(w.samples + kMbSamplesCr + 8 * row, pv + row * (pitch / 2), 8);
  }
  ctx->nbInfo[kH264NbCurrent] = &r.info;
  ctx->nbInfo[kH264NbLeft] = left ? &left->info : &ctx->unavailableInfo[0];
  ctx->nbInfo[kH264NbTop] = top ? &top->info : &ctx->unavailableInfo[0];
  ctx->slice.slice_alpha_c0_offset_div2 = r.alpha;
  ctx->slice.slice_beta_offset_div2 = r.beta;
  ctx->slice.field_pic_flag = static_cast<uint32_t>(field);
  ctx->activeSps.width = static_cast<uint32_t>(stride);
  H264DeblockMacroblock(ctx);
}

}  // namespace

void H264DecDeblockPicture(H264DecContext* ctx) {
  H264DecPicture* pic = ctx->curPic;
  H264DecWorkerBlock* block = ctx->workers;
  bool pass = ctx->deblockPass != 0;  // else every slice was filtered by its worker
  ctx->deblockPass = 0;
  if (!pass || !pic || !ctx->deblockMbs || !block) return;
  uint32_t widthMbs = static_cast<uint32_t>(pic->frame->width) / 16;
  if (!widthMbs || pic->picSizeInMbs > ctx->bufferMbs) return;
  // One thread, in raster order, on an idle worker's copy of the context:
  // filtering is a chain from each macroblock to the next row, and a
  // wavefront over the workers costs more in waking them than it saves.
  H264DecContext* copy = block->workers[0].copy;
  CopyContext(copy, ctx);
  copy->workers = nullptr;
  for (uint32_t addr = 0; addr < pic->picSizeInMbs; ++addr) DeblockOne(copy, addr);
}
