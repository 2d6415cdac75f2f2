// Worker threads: four threads that decode slices on copies of the context
// while the caller's thread parses the next headers, and the deblocking pass
// that filters a picture decoded by them once all its slices are done.
#include <atomic>
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
  H264MbMotion* motionRows = nullptr;
  uint8_t* spareNal = nullptr;
  bool busy = false;  // the caller's thread only
  int job = 0;        // kJobSlice or kJobDeblock
  uint32_t deblockFirst = 0;
  // Manual-reset events, under the block's mutex.
  bool run = false;
  bool quit = false;
  bool done = false;
  std::thread thread;
};

enum : int { kJobSlice = 0, kJobDeblock = 1 };

struct H264DecWorkerBlock {
  std::unique_ptr<std::atomic<uint32_t>[]> progress;  // per macroblock row: macroblocks filtered
  uint32_t rows = 0;
  std::mutex mutex;
  std::condition_variable wake;  // run or quit set
  std::condition_variable doneSet;
  H264DecWorker workers[kH264Workers];
};

namespace {

void DeblockRows(H264DecContext* ctx, uint32_t first, uint32_t step, std::atomic<uint32_t>* progress);

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

void WorkerThread(H264DecWorkerBlock* block, H264DecWorker* w) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(block->mutex);
      block->wake.wait(lock, [w] { return w->run || w->quit; });
      if (w->quit) return;
      w->run = false;
    }
    H264DecContext* ctx = w->copy;
    // Errors inside a worker are dropped, as the slice's are without one.
    if (w->job == kJobDeblock)
      DeblockRows(ctx, w->deblockFirst, kH264Workers, block->progress.get());
    else if (ctx->activePps.entropy_coding_mode_flag)
      H264SliceDataCabac(ctx);
    else
      H264SliceDataCavlc(ctx);
    {
      std::lock_guard<std::mutex> lock(block->mutex);
      w->done = true;
    }
    block->doneSet.notify_all();
  }
}

// The first idle worker, else the first to finish.
H264DecWorker* PickWorker(H264DecWorkerBlock* block) {
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
        return &w;
      }
    block->doneSet.wait(lock);
  }
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
  block->rows = ctx->heightMbs;
  block->progress.reset(new (std::nothrow) std::atomic<uint32_t>[block->rows]);
  if (!block->progress) return false;
  for (H264DecWorker& w : block->workers) {
    w.copy = static_cast<H264DecContext*>(H264DecAlloc16(sizeof(H264DecContext)));
    w.infoRows = static_cast<H264MbInfo*>(H264DecAlloc16(sizeof(H264MbInfo) * 4 * ctx->widthMbs));
    w.motionRows = static_cast<H264MbMotion*>(H264DecAlloc16(sizeof(H264MbMotion) * 4 * ctx->widthMbs));
    w.spareNal = static_cast<uint8_t*>(H264DecAlloc16(ctx->nalBufferSize + kH264NalGuard));
    if (!w.copy || !w.infoRows || !w.motionRows || !w.spareNal) return false;
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
    H264DecFree16(w.motionRows);
    H264DecFree16(w.spareNal);
  }
  delete block;
  ctx->workers = nullptr;
}

void H264DecDispatchSlice(H264DecContext* ctx) {
  H264DecWorkerBlock* block = ctx->workers;
  H264DecWorker* w = PickWorker(block);
  ++ctx->sliceSerial;
  CopyContext(w->copy, ctx);
  w->job = kJobSlice;
  H264DecContext* copy = w->copy;
  copy->infoRows = w->infoRows;
  copy->motionRows = w->motionRows;
  copy->workers = nullptr;
  // The copy keeps the buffer holding the slice; the caller's context goes on
  // with the worker's spare one.
  uint8_t* slice = ctx->nalBuffer;
  ctx->nalBuffer = w->spareNal;
  w->spareNal = slice;
  {
    std::lock_guard<std::mutex> lock(block->mutex);
    w->run = true;
  }
  block->wake.notify_all();
}

void H264DecWaitWorkers(H264DecContext* ctx) {
  H264DecWorkerBlock* block = ctx->workers;
  if (!block) return;
  std::unique_lock<std::mutex> lock(block->mutex);
  for (H264DecWorker& w : block->workers) {
    if (!w.busy) continue;
    block->doneSet.wait(lock, [&w] { return w.done; });
    w.done = false;
    w.busy = false;
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
  if (r.idc == 1) return;
  r.alpha = static_cast<int8_t>(s.slice_alpha_c0_offset_div2);
  r.beta = static_cast<int8_t>(s.slice_beta_offset_div2);
  std::memcpy(r.edgeStrength, ctx->mb.edgeStrength, sizeof r.edgeStrength);
  r.info = *ctx->nbInfo[kH264NbCurrent];
  r.motion = *ctx->nbMotion[kH264NbCurrent];
}

namespace {

// Filters macroblock addr of the current picture from the records, as the
// single-threaded decoder filters it right after decoding it.
void DeblockOne(H264DecContext* ctx, uint32_t addr) {
  H264DecPicture* pic = ctx->curPic;
  H264DecDeblockMb& r = ctx->deblockMbs[addr];
  if (r.picSerial != ctx->picSerial || r.idc == 1) return;
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
    if (left && left->slice != r.slice)
      H264MbEdgeStrengths(&r.info, &r.motion, &left->info, &left->motion, 0, field != 0, w.edgeStrength);
    if (top && top->slice != r.slice)
      H264MbEdgeStrengths(&r.info, &r.motion, &top->info, &top->motion, 1, field != 0, w.edgeStrength + 8);
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

// Rows first, first + step, ... of the current picture, each macroblock once
// the row above has passed the macroblock above and to the right of it
// (whose filtering reaches the samples this one reads).
void DeblockRows(H264DecContext* ctx, uint32_t first, uint32_t step, std::atomic<uint32_t>* progress) {
  H264DecPicture* pic = ctx->curPic;
  uint32_t widthMbs = static_cast<uint32_t>(pic->frame->width) / 16;
  if (!widthMbs) return;
  uint32_t rows = pic->picSizeInMbs / widthMbs;
  for (uint32_t y = first; y < rows; y += step)
    for (uint32_t x = 0; x < widthMbs; ++x) {
      if (y > 0) {
        uint32_t need = x + 2 < widthMbs ? x + 2 : widthMbs;
        while (progress[y - 1].load(std::memory_order_acquire) < need) std::this_thread::yield();
      }
      DeblockOne(ctx, y * widthMbs + x);
      progress[y].store(x + 1, std::memory_order_release);
    }
}

}  // namespace

void H264DecDeblockPicture(H264DecContext* ctx) {
  H264DecPicture* pic = ctx->curPic;
  H264DecWorkerBlock* block = ctx->workers;
  if (!pic || !ctx->deblockMbs || !block) return;
  uint32_t widthMbs = static_cast<uint32_t>(pic->frame->width) / 16;
  uint32_t rows = widthMbs ? pic->picSizeInMbs / widthMbs : 0;
  if (rows > block->rows) return;
  for (uint32_t y = 0; y < rows; ++y) block->progress[y].store(0, std::memory_order_relaxed);
  // Each worker takes every fourth row, on a fresh copy of the context.
  for (uint32_t i = 0; i < kH264Workers; ++i) {
    H264DecWorker* w = PickWorker(block);
    CopyContext(w->copy, ctx);
    w->copy->workers = nullptr;
    w->deblockFirst = static_cast<uint32_t>(w - block->workers);
    w->job = kJobDeblock;
    {
      std::lock_guard<std::mutex> lock(block->mutex);
      w->run = true;
    }
    block->wake.notify_all();
  }
  H264DecWaitWorkers(ctx);
}
