// Threaded picture decoding: the access-unit batch of a picture is decoded by
// row jobs on the worker pool. Parsing stays sequential (one arithmetic
// decoder per handle); reconstruction and in-loop filtering of a CTB row run
// two CTBs behind the row above. Pictures that do not qualify are decoded
// unit by unit on the calling thread.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/hevc/hevc_internal.h"

namespace hevc {
namespace {

bool IsSlice(int type) { return type <= 9 || (type >= 16 && type <= 21); }

int32_t LoadRowProgress(const int32_t* e) { return __atomic_load_n(e, __ATOMIC_ACQUIRE); }
void StoreRowProgress(int32_t* e, int32_t v) { __atomic_store_n(e, v, __ATOMIC_RELEASE); }

// ------------------------------------------------------------ wavefront sync

void HevcPublishProgress(HevcCtu* sync, int32_t value, int32_t* rowEntry) {
  HevcMutexLock(sync->pMutexB);
  sync->iPublished = value;
  if (rowEntry) StoreRowProgress(rowEntry, value);
  HevcMutexUnlock(sync->pMutexB);
  HevcCondBroadcast(sync->pCondB);
}

void HevcSignalParseDone(HevcCtu* sync) {
  HevcMutexLock(sync->pMutexA);
  sync->bParseDone = 1;
  HevcMutexUnlock(sync->pMutexA);
  HevcCondBroadcast(sync->pCondA);
}

void HevcSignalAbort(HevcDecoder* d) {
  HevcCtu* sync = d->pSync;
  d->bPicFailed = 1;
  HevcMutexLock(sync->pMutexA);
  sync->bParseDone = 1;
  sync->bAbort = 1;
  HevcMutexUnlock(sync->pMutexA);
  HevcCondBroadcast(sync->pCondA);
}

bool HevcAborted(HevcCtu* sync) {
  HevcMutexLock(sync->pMutexA);
  const bool a = sync->bAbort != 0;
  HevcMutexUnlock(sync->pMutexA);
  return a;
}

// Waits until the row above has been parsed (or finished, or given up); true
// when it was given up.
bool HevcWaitRowStart(HevcDecoder* d, HevcCtu* prev, int row) {
  const int32_t* above = &d->piRowProgress[row - 1];
  HevcMutexLock(prev->pMutexA);
  while (!prev->bParseDone && LoadRowProgress(above) <= 2 && !prev->bAbort)
    HevcCondWait(prev->pCondA, prev->pMutexA);
  if (prev->bParseDone) prev->bParseDone = 0;
  const bool abort = prev->bAbort != 0;
  HevcMutexUnlock(prev->pMutexA);
  return abort;
}

// Waits until the row above has finished `need` CTUs of its job, or all of them.
void HevcWaitRowProgress(HevcCtu* prev, int32_t need, const int32_t* aboveEntry) {
  HevcMutexLock(prev->pMutexB);
  while (prev->iPublished < need && LoadRowProgress(aboveEntry) <= need)
    HevcCondWait(prev->pCondB, prev->pMutexB);
  HevcMutexUnlock(prev->pMutexB);
}

// -------------------------------------------------------------------- rows

void HevcPlaceCtu(HevcDecoder* d, HevcCtu* ctu, int rs) {
  const HevcPictureInfo& g = d->stPic;
  HevcSetCtuGeometry(d->pSps, ctu);
  ctu->iCtbX = rs % g.PicWidthInCtbsY;
  ctu->iCtbY = rs / g.PicWidthInCtbsY;
  ctu->iPixX = ctu->iCtbX << ctu->iLog2CtbSize;
  ctu->iPixY = ctu->iCtbY << ctu->iLog2CtbSize;
  ctu->iTileStartX = 0;
}

// Parses the CTUs of the job (tile-scan addresses first..first+count) into
// the job's CTU records. A parse error or a slice segment that ends before
// the job's last CTU (or at the end of a row that is not the picture's last)
// gives the picture up.
int32_t HevcParseJobCtus(HevcDecoder* d, int first, int count, int row) {
  const HevcPps* pps = d->pPps;
  const HevcPictureInfo& g = d->stPic;
  for (int i = 0; i < count; ++i) {
    const int ts = first + i;
    HevcCtu* ctu = &d->pJobCtus[i];
    HevcPlaceCtu(d, ctu, pps->CtbAddrTsToRs[ts]);
    HevcInitCtuCabac(d, ts);
    HevcResetCtuState(d, ctu);
    const int32_t r = HevcDecodeCtu(d, ctu);
    if (r) {
      HevcSignalAbort(d);
      return r;
    }
    HevcSaveWppContexts(d, ts);
    if (ctu->iEndOfSliceSegment && ts + 1 < g.PicSizeInCtbsY) {
      HevcSignalAbort(d);
      return 0;
    }
  }
  if (row + 1 < g.PicHeightInCtbsY) HevcSignalParseDone(d->pSync);
  return 0;
}

// One CTB row of a tile.
int32_t HevcRowJobCommon(HevcDecoder* d, bool firstRowOfJobSet) {
  HevcCtu* sync = d->pSync;
  HevcCtu* prev = sync->pPrevSync;
  const int row = sync->iCtbY;
  const int count = d->iJobEnd - d->iJobFirst;
  int32_t* own = &d->piRowProgress[row];
  d->bPicFailed = 0;
  HevcPublishProgress(sync, -1, own);
  const bool waits = !firstRowOfJobSet && row > 0;
  for (int i = 0; i < count; ++i) {
    if (i == 0) {
      if (waits && HevcWaitRowStart(d, prev, row)) {
        HevcSignalAbort(d);
        break;
      }
      if (HevcParseJobCtus(d, d->iJobFirst, count, row)) break;
    } else {
      HevcPublishProgress(sync, i, nullptr);
    }
    if (waits) HevcWaitRowProgress(prev, i + 2, &d->piRowProgress[row - 1]);
    if (HevcAborted(sync)) break;
    HevcCtu* ctu = &d->pJobCtus[i];
    HevcReconstructCtu(d, ctu);
    d->pCtbDoneMap[ctu->iCtbY * d->stPic.PicWidthInCtbsY + ctu->iCtbX] = 1;
    HevcStoreCtuMotion(d, ctu);
    HevcFilterCtu(d, ctu);
  }
  HevcPublishProgress(sync, count + kRowDone, own);
  return 0;
}

int32_t HevcTileRowJob(void* arg) {
  auto* d = static_cast<HevcDecoder*>(arg);
  const HevcPps* pps = d->pPps;
  // the first row of a tile waits for nobody
  const int rsFirst = pps->CtbAddrTsToRs[d->iTileStart], rs = pps->CtbAddrTsToRs[d->iJobFirst];
  return HevcRowJobCommon(d, rsFirst / d->stPic.PicWidthInCtbsY == rs / d->stPic.PicWidthInCtbsY);
}

// The calling thread's hand-off of parsed CTUs to the row's job, and a
// reconstructing job's hand-off to the job that filters its row: the CTUs
// ready for the job, and whether more will come.
// The waiter is woken only once the count it sleeps for is reached: most
// CTUs are published without a lock or a system call.
void HevcPublishParsed(HevcCtu* sync, int32_t parsed, bool stop) {
  if (stop) __atomic_store_n(&sync->bParseStop, 1, __ATOMIC_SEQ_CST);
  __atomic_store_n(&sync->iParsed, parsed, __ATOMIC_SEQ_CST);
  if (!stop && __atomic_load_n(&sync->iWanted, __ATOMIC_SEQ_CST) > parsed) return;
  HevcMutexLock(sync->pMutexA);
  HevcMutexUnlock(sync->pMutexA);
  HevcCondBroadcast(sync->pCondA);
}

// Waits until CTU i of the job's row is ready, sleeping (if it must) until
// `need` CTUs are, or the row stops; false when CTU i never will be.
bool HevcWaitReady(HevcCtu* sync, int i, int need) {
  if (__atomic_load_n(&sync->iParsed, __ATOMIC_ACQUIRE) > i) return true;
  HevcMutexLock(sync->pMutexA);
  __atomic_store_n(&sync->iWanted, need, __ATOMIC_SEQ_CST);
  while (__atomic_load_n(&sync->iParsed, __ATOMIC_SEQ_CST) < need &&
         !__atomic_load_n(&sync->bParseStop, __ATOMIC_SEQ_CST))
    HevcCondWait(sync->pCondA, sync->pMutexA);
  __atomic_store_n(&sync->iWanted, INT32_MAX, __ATOMIC_RELAXED);
  HevcMutexUnlock(sync->pMutexA);
  return __atomic_load_n(&sync->iParsed, __ATOMIC_ACQUIRE) > i;
}

// Reconstruction and in-loop filtering of a CTB row as the calling thread
// parses it, two CTBs behind the row above; the filtering is left to another
// job when the row has one (pFilterSync). The CTUs before a parse failure are
// reconstructed and filtered, as without threads.
int32_t HevcReconRowJob(void* arg) {
  auto* d = static_cast<HevcDecoder*>(arg);
  HevcCtu* sync = d->pSync;
  HevcCtu* prev = sync->pPrevSync;
  HevcCtu* filter = sync->pFilterSync;
  const int row = sync->iCtbY;
  const int count = d->iJobEnd - d->iJobFirst;
  int done = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0) HevcPublishProgress(sync, i, nullptr);
    // the last row, whose end the picture waits for, takes its CTUs one by
    // one; the others in fours, with a quarter of the wake-ups
    if (!HevcWaitReady(sync, i, filter ? i + 1 : (i + 4 < count ? i + 4 : count))) break;
    if (row > 0) HevcWaitRowProgress(prev, i + 2, &d->piRowProgress[row - 1]);
    HevcCtu* ctu = &d->pJobCtus[i];
    HevcReconstructCtu(d, ctu);
    d->pCtbDoneMap[ctu->iCtbY * d->stPic.PicWidthInCtbsY + ctu->iCtbX] = 1;
    HevcStoreCtuMotion(d, ctu);
    done = i + 1;
    if (filter)
      HevcPublishParsed(filter, done, false);
    else
      HevcFilterCtu(d, ctu);
  }
  if (filter) HevcPublishParsed(filter, done, true);
  HevcPublishProgress(sync, count + kRowDone, &d->piRowProgress[row]);
  return 0;
}

// The in-loop filtering of a row another job reconstructs, one CTU behind it.
// Filtering a CTB changes no sample that the reconstruction of the CTBs to
// its right reads (their intra neighbours are its unfiltered last column).
int32_t HevcFilterRowJob(void* arg) {
  auto* d = static_cast<HevcDecoder*>(arg);
  HevcCtu* sync = d->pSync;
  const int count = d->iJobEnd - d->iJobFirst;
  for (int i = 0; i < count && HevcWaitReady(sync, i, i + 1); ++i) HevcFilterCtu(d, &d->pJobCtus[i]);
  return 0;
}

// ------------------------------------------------------------------ slices

void HevcSaveSliceState(const HevcDecoder* d, HevcSliceState* st) {
  st->pVps = d->pVps;
  st->pSps = d->pSps;
  st->pPps = d->pPps;
  st->bIndependentDone = d->bIndependentDone;
  st->SliceAddrRs = d->SliceAddrRs;
  st->iSliceType = d->iSliceType;
  st->iCurPoc = d->iCurPoc;
  st->iNoBackwardPred = d->iNoBackwardPred;
  st->stRefList[0] = d->stRefList[0];
  st->stRefList[1] = d->stRefList[1];
  st->stSh = d->stSh;
}

void HevcLoadSliceState(HevcDecoder* d, const HevcSliceState* st) {
  d->pVps = st->pVps;
  d->pSps = st->pSps;
  d->pPps = st->pPps;
  d->bIndependentDone = st->bIndependentDone;
  d->SliceAddrRs = st->SliceAddrRs;
  d->iSliceType = st->iSliceType;
  d->iCurPoc = st->iCurPoc;
  d->iNoBackwardPred = st->iNoBackwardPred;
  d->stRefList[0] = st->stRefList[0];
  d->stRefList[1] = st->stRefList[1];
  d->stSh = st->stSh;
}

// The saved states of CTU record k of the job (own arrays) or of the row above (previous worker's).
struct SavedAt {
  HevcCtu* ctu;
  HevcSliceState* slice;
  HevcPictureInfo* info;
};

// Finds the slice segment that starts at tile-scan address ts after the unit
// prev.iNalCursor; units between are handled on the way. 0 and *found false
// when the batch has no slice unit left.
int32_t HevcNextSliceSegment(HevcDecoder* d, int ts, int col, const SavedAt& prev, bool* found) {
  HevcAuBatch* au = &d->stAu;
  *found = false;
  int j = prev.ctu->iNalCursor + 1;
  int next = -1;
  for (int k = j; k < au->iCount && k < kAuMaxUnits; ++k)
    if (IsSlice(au->aiType[k])) {
      next = k;
      break;
    }
  if (next < 0) return 0;
  for (int k = j; k <= next; ++k) {
    const int t = au->aiType[k];
    const int32_t from = k ? au->aiEnd[k - 1] : 0;
    const int32_t len = au->aiEnd[k] - from;
    uint8_t* u = au->pBuf + from;
    if (len < 2) continue;
    HevcBitReaderInit(&d->stBr, u + 2, HevcRemoveEmulationBytes(u, len, u + 2), len + 4);
    if (k < next) {
      if (t == 36 || t == 37) {
        d->iSeqStart = 1;
      } else if (t == 39 || t == 40) {
        HevcReadNalHeaderFields(u, &d->stNal);
        HevcParseSei(d, &d->stBr);
      } else {
        HEVC_WARN(d, "IH265D_Decode : The NAL type %d is not support !\n", t);
      }
      continue;
    }
    HevcNalHeader hdr;
    HevcReadNalHeaderFields(u, &hdr);
    HevcBitReader ids = d->stBr;
    const int32_t dependent = HevcParseSliceIds(d, &ids, &hdr);
    if (dependent != 0 && dependent != 1) return IH265D_ERR_SLICEHEADER;
    // the state the segment is parsed on: the row above's last for column 0,
    // the previous CTU's for a dependent segment elsewhere
    if (col == 0 || dependent) {
      HevcLoadSliceState(d, prev.slice);
      d->stPic = *prev.info;
    }
    const int32_t r = HevcParseSliceHeaderJob(d, &d->stBr, &hdr);
    if (r) return r;
    const int size = d->stPic.PicSizeInCtbsY;
    if (d->stSh.slice_segment_address >= size) return IH265D_ERR_SLICEHEADER;
    if (d->pPps->CtbAddrRsToTs[d->stSh.slice_segment_address] != ts) {
      HEVC_ERR(d, "IH265D_Decode : the Curcent iCtbAddrTs is %d,the last decode LcuCnt is %d!\n",
               d->pPps->CtbAddrRsToTs[d->stSh.slice_segment_address], ts);
      return IH265D_ERR_SLICEDATA;
    }
    if (const int32_t rj = HevcStartSliceDataJob(d)) return rj;
    d->pJobCtus[col].iNalCursor = next;
    *found = true;
    return 0;
  }
  return 0;
}

// Parses the whole row of the job, each CTU with the slice state it belongs
// to, kept beside its record.
int32_t HevcParseSliceRow(HevcDecoder* d, int first, int count, int row) {
  HevcCtu* sync = d->pSync;
  const HevcPictureInfo& g = d->stPic;
  for (int i = 0; i < count; ++i) {
    const int ts = first + i;
    HevcCtu* ctu = &d->pJobCtus[i];
    SavedAt prev;
    if (i > 0)
      prev = {&d->pJobCtus[i - 1], &d->pJobSlices[i - 1], &d->pJobInfos[i - 1]};
    else if (row > 0)
      prev = {&sync->pPrevCtus[g.PicWidthInCtbsY - 1], &sync->pPrevSlices[g.PicWidthInCtbsY - 1],
              &sync->pPrevInfos[g.PicWidthInCtbsY - 1]};
    int32_t r = 0;
    if (ts == 0) {
      // the first slice segment, parsed by the calling thread
      if (!d->bIndependentDone || !d->stPic.bFirstSliceDone || d->SliceAddrRs != 0)
        return IH265D_ERR_SLICEDATA;
      ctu->iNalCursor = d->stAu.iCursor;
      r = HevcStartSliceDataJob(d);
      if (r) return r;
    } else if (!prev.ctu->iEndOfSliceSegment) {
      if (i == 0) {
        HevcLoadSliceState(d, prev.slice);
        d->stPic = *prev.info;
      }
      ctu->iNalCursor = prev.ctu->iNalCursor;
    } else {
      bool found = false;
      r = HevcNextSliceSegment(d, ts, i, prev, &found);
      if (r) return r;
      if (!found) {
        if (i == 0) {
          HevcLoadSliceState(d, prev.slice);
          d->stPic = *prev.info;
        }
        ctu->iNalCursor = prev.ctu->iNalCursor;
      }
    }
    HevcSaveSliceState(d, &d->pJobSlices[i]);
    d->pJobInfos[i] = d->stPic;
    HevcPlaceCtu(d, ctu, d->pPps->CtbAddrTsToRs[ts]);
    HevcInitCtuCabac(d, ts);
    HevcResetCtuState(d, ctu);
    r = HevcDecodeCtu(d, ctu);
    if (r) return r;
    HevcSaveWppContexts(d, ts);
  }
  return 0;
}

// One CTB row of a picture of several slice segments.
int32_t HevcSliceRowJob(void* arg) {
  auto* d = static_cast<HevcDecoder*>(arg);
  HevcCtu* sync = d->pSync;
  HevcCtu* prev = sync->pPrevSync;
  const HevcPictureInfo& g = d->stPic;
  const int row = sync->iCtbY;
  const int count = d->iJobEnd - d->iJobFirst;
  int32_t* own = &d->piRowProgress[row];
  d->bPicFailed = 0;
  HevcPublishProgress(sync, -1, own);
  bool failed = count != g.PicWidthInCtbsY || d->iJobFirst != row * g.PicWidthInCtbsY;
  for (int i = 0; i < count && !failed; ++i) {
    if (i > 0) HevcPublishProgress(sync, i, nullptr);
    if (row > 0 && !HevcAborted(prev)) HevcWaitRowProgress(prev, i + 2, &d->piRowProgress[row - 1]);
    if (HevcAborted(sync) || (row > 0 && HevcAborted(prev))) {
      failed = true;
      break;
    }
    if (i == 0 && HevcParseSliceRow(d, d->iJobFirst, count, row)) {
      failed = true;
      break;
    }
    HevcCtu* ctu = &d->pJobCtus[i];
    if (ctu->iCtbX < 0 || ctu->iCtbX >= g.PicWidthInCtbsY || ctu->iCtbY < 0 ||
        ctu->iCtbY >= g.PicHeightInCtbsY) {
      failed = true;
      break;
    }
    HevcLoadSliceState(d, &d->pJobSlices[i]);
    d->stPic = d->pJobInfos[i];
    HevcReconstructCtu(d, ctu);
    d->pCtbDoneMap[ctu->iCtbY * d->stPic.PicWidthInCtbsY + ctu->iCtbX] = 1;
    HevcStoreCtuMotion(d, ctu);
    HevcFilterCtu(d, ctu);
  }
  if (failed) HevcSignalAbort(d);
  HevcPublishProgress(sync, count + kRowDone, own);
  return 0;
}

// ---------------------------------------------------------------- dispatch

void HevcRefreshWorker(const HevcDecoder* dec, HevcDecoder* w) {
  std::memcpy(static_cast<void*>(w), dec, offsetof(HevcDecoder, pSync));
}

// Collects the job queued on worker context w, if there is one; false when
// it failed to run.
bool HevcCollectJob(HevcDecoder* dec, HevcDecoder* w) {
  if (!w->iJobQueued) return true;
  w->iJobQueued = 0;
  return HevcWorkerPoolWait(dec->pPool, w) == 0;
}

// A row's hand-off counters back to nothing parsed and nothing wanted.
void HevcResetParsed(HevcCtu* sync) {
  HevcMutexLock(sync->pMutexA);
  sync->iParsed = 0;
  sync->bParseStop = 0;
  sync->iWanted = INT32_MAX;
  HevcMutexUnlock(sync->pMutexA);
}

// Queues the jobs [first, first + count) in pieces of jobLen tile-scan
// addresses, round robin over the workers, at most one outstanding job per
// worker; then waits for all. -1 when a job failed to run or none was queued.
int32_t HevcDispatch(HevcDecoder* dec, int32_t (*job)(void*), int first, int count, int jobLen) {
  const int n = dec->ucWorkers;
  const HevcPps* pps = dec->pPps;
  const HevcPictureInfo& g = dec->stPic;
  dec->bPicFailed = 0;
  for (int k = 0; k < kMaxWorkers; ++k) {
    dec->apWorker[k]->iJobQueued = 0;
    dec->apWorker[k]->pSync->bAbort = 0;
  }
  const int rs0 = pps->CtbAddrTsToRs[first];
  dec->pCtu->iCtbX = rs0 % g.PicWidthInCtbsY;
  dec->pCtu->iCtbY = rs0 / g.PicWidthInCtbsY;
  for (int r = 0; r <= g.PicHeightInCtbsY; ++r) StoreRowProgress(&dec->piRowProgress[r], 0);
  int jobs = 0;
  int32_t result = 0;
  for (int s = first; s < first + count; s += jobLen, ++jobs) {
    const int prevIdx = dec->iRoundRobin % n;
    const int idx = (prevIdx + 1) % n;
    dec->iRoundRobin = idx;
    HevcDecoder* w = dec->apWorker[idx];
    HevcCtu* sync = w->pSync;
    if (jobs < n) HevcRefreshWorker(dec, w);
    sync->pPrevSync = dec->apWorker[prevIdx]->pSync;
    sync->pPrevCtus = dec->apWorkerCtus[prevIdx];
    sync->pPrevSlices = dec->apWorkerSlices[prevIdx];
    sync->pPrevInfos = dec->apWorkerInfos[prevIdx];
    w->iJobFirst = s;
    w->iJobEnd = s + jobLen < first + count ? s + jobLen : first + count;
    w->iTileStart = first;
    HevcMutexLock(sync->pMutexB);
    sync->iPublished = -1;
    HevcMutexUnlock(sync->pMutexB);
    HevcMutexLock(sync->pMutexA);
    sync->bParseDone = 0;
    const bool aborted = sync->bAbort != 0;
    HevcMutexUnlock(sync->pMutexA);
    // a worker whose previous job gave the picture up ends the dispatch
    if (aborted || w->bPicFailed) {
      dec->bPicFailed = 1;
      break;
    }
    const int rs = pps->CtbAddrTsToRs[s];
    sync->iCtbX = rs % g.PicWidthInCtbsY;
    sync->iCtbY = rs / g.PicWidthInCtbsY;
    w->pJobCtus = dec->apWorkerCtus[idx];
    w->pJobSlices = dec->apWorkerSlices[idx];
    w->pJobInfos = dec->apWorkerInfos[idx];
    HevcWorkerPoolQueue(dec->pPool, job, w);
    w->iJobQueued = 1;
    HevcDecoder* next = dec->apWorker[(idx + 1) % n];
    if (next != w && !HevcCollectJob(dec, next)) result = -1;
    if (result) break;
  }
  for (int k = 1; k <= n; ++k)
    if (!HevcCollectJob(dec, dec->apWorker[(dec->iRoundRobin + k) % n])) result = -1;
  for (int k = 0; k < n; ++k)
    if (dec->apWorker[k]->bPicFailed) dec->bPicFailed = 1;
  if (jobs == 0 && !dec->bPicFailed) return -1;
  return result;
}

// A picture of one slice segment without tiles: the calling thread parses the
// rows one after another into the records of the worker contexts, round
// robin; each row's job is queued before its parse and follows it CTU by CTU.
// A context is reused once its previous row is done, so parsing runs up to
// kRowContexts rows ahead. A parse failure gives the picture up: the rows
// above are finished, the failing row up to the failure, those below are not
// reconstructed.
int32_t HevcDecodeRowsMt(HevcDecoder* dec) {
  const HevcPps* pps = dec->pPps;
  const HevcPictureInfo& g = dec->stPic;
  const int W = g.PicWidthInCtbsY, rows = g.PicHeightInCtbsY;
  dec->bPicFailed = 0;
  dec->pCtu->iCtbX = dec->pCtu->iCtbY = 0;
  for (int r = 0; r <= rows; ++r) StoreRowProgress(&dec->piRowProgress[r], 0);
  for (int k = 0; k < kRowContexts && k < rows; ++k) {
    HevcRefreshWorker(dec, dec->apWorker[k]);
    dec->apWorker[k]->iJobQueued = 0;
  }
  int32_t result = 0;
  HevcDecoder* tailFilter = nullptr;
  for (int row = 0; row < rows && !dec->bPicFailed; ++row) {
    const int k = row % kRowContexts;
    HevcDecoder* w = dec->apWorker[k];
    if (!HevcCollectJob(dec, w)) result = -1;
    if (result) break;
    HevcCtu* sync = w->pSync;
    sync->pPrevSync = dec->apWorker[(row + kRowContexts - 1) % kRowContexts]->pSync;
    sync->iCtbX = 0;
    sync->iCtbY = row;
    HevcMutexLock(sync->pMutexB);
    sync->iPublished = -1;
    HevcMutexUnlock(sync->pMutexB);
    HevcResetParsed(sync);
    sync->pFilterSync = nullptr;
    w->iJobFirst = row * W;
    w->iJobEnd = row * W + W;
    w->pJobCtus = dec->apWorkerCtus[k];
    // the last row, which nothing else overlaps, is filtered on the next
    // context by the calling thread once its parse is done
    HevcDecoder* f = nullptr;
    if (row == rows - 1) {
      const int k2 = (row + 1) % kRowContexts;
      f = dec->apWorker[k2];
      if (!HevcCollectJob(dec, f)) result = -1;
      if (result) break;
      if (k2 >= rows) HevcRefreshWorker(dec, f);
      HevcResetParsed(f->pSync);
      f->iJobFirst = w->iJobFirst;
      f->iJobEnd = w->iJobEnd;
      f->pJobCtus = w->pJobCtus;
      sync->pFilterSync = f->pSync;
    }
    HevcWorkerPoolQueue(dec->pPool, HevcReconRowJob, w);
    w->iJobQueued = 1;
    tailFilter = f;
    dec->pJobCtus = dec->apWorkerCtus[k];
    for (int i = 0; i < W; ++i) {
      const int ts = row * W + i;
      HevcCtu* ctu = &dec->pJobCtus[i];
      HevcPlaceCtu(dec, ctu, pps->CtbAddrTsToRs[ts]);
      HevcInitCtuCabac(dec, ts);
      HevcResetCtuState(dec, ctu);
      if (HevcDecodeCtu(dec, ctu)) {
        dec->bPicFailed = 1;
        HevcPublishParsed(sync, i, true);
        break;
      }
      HevcSaveWppContexts(dec, ts);
      // a slice segment that ends before the picture does gives it up
      const bool early = ctu->iEndOfSliceSegment && ts + 1 < g.PicSizeInCtbsY;
      if (early) dec->bPicFailed = 1;
      HevcPublishParsed(sync, i + 1, early);
      if (early) break;
    }
  }
  // the calling thread filters the last row behind its reconstruction
  if (tailFilter) HevcFilterRowJob(tailFilter);
  // then the jobs, oldest first
  for (int j = 0; j < kRowContexts; ++j)
    if (!HevcCollectJob(dec, dec->apWorker[(rows + j) % kRowContexts])) result = -1;
  return result;
}

int32_t HevcDecodeSlicesMt(HevcDecoder* dec) {
  const int32_t r =
      HevcDispatch(dec, HevcSliceRowJob, 0, dec->stPic.PicSizeInCtbsY, dec->stPic.PicWidthInCtbsY);
  // the reference lists of the last job's slice go on with the main context
  const HevcDecoder* last = dec->apWorker[dec->iRoundRobin];
  dec->stRefList[0] = last->stRefList[0];
  dec->stRefList[1] = last->stRefList[1];
  return r;
}

int32_t HevcDecodeTilesMt(HevcDecoder* dec, int tileW, int tileH, int tileStart) {
  return HevcDispatch(dec, HevcTileRowJob, tileStart, tileW * tileH, tileW);
}

// ---------------------------------------------------------- unit by unit

// The slice units of the batch one after another on the calling thread, from
// the one whose header was just parsed to the last.
int32_t HevcDecodeUnits(HevcDecoder* dec, int lastSlice) {
  HevcAuBatch* au = &dec->stAu;
  for (int i = au->iCursor; i <= lastSlice; ++i) {
    int32_t r = 0;
    if (i == au->iCursor) {
      r = HevcStartSliceData(dec);
      if (r) return r;
      continue;
    }
    const int t = au->aiType[i];
    const int32_t from = au->aiEnd[i - 1];
    const int32_t len = au->aiEnd[i] - from;
    uint8_t* u = au->pBuf + from;
    if (len < 2) continue;
    HevcBitReaderInit(&dec->stBr, u + 2, HevcRemoveEmulationBytes(u, len, u + 2), len + 4);
    if (IsSlice(t)) {
      HevcReadNalHeaderFields(u, &dec->stNal);
      r = HevcParseSliceHeader(dec, &dec->stBr);
      if (r == 0 && dec->pCurPic && dec->pCurPic->iMarking && dec->stPic.bFirstSliceDone) {
        r = HevcSetPictureGeometry(dec, &dec->stPic);
        if (r == 0) r = HevcStartSliceData(dec);
      }
    } else if (t == 32) {
      r = HevcParseVps(dec, &dec->stBr);
    } else if (t == 33) {
      r = HevcParseSps(dec, &dec->stBr);
    } else if (t == 34) {
      r = HevcParsePps(dec, &dec->stBr);
    } else if (t == 36 || t == 37) {
      dec->iSeqStart = 1;
    } else if (t == 39 || t == 40) {
      HevcParseSei(dec, &dec->stBr);
    } else {
      HEVC_WARN(dec, "IH265D_Decode : The NAL type %d is not support !\n", t);
    }
    if (r) return r;
  }
  return 0;
}

void HevcNoStart(void*) {}

int HevcCreateWorkerContexts(HevcDecoder* dec) {
  const size_t cols = static_cast<size_t>(dec->iMaxWidth / 16);
  for (int w = 0; w < kRowContexts; ++w) {
    dec->apWorker[w] = static_cast<HevcDecoder*>(HevcAlignedAlloc(sizeof(HevcDecoder)));
    // not zeroed: the thread that parses a row (a job, or the calling thread
    // for a one-slice picture) places, resets and parses every CTU record of
    // it (coefficient blocks cleared as they are parsed) and saves the slice
    // state and geometry beside it before anything reads them; a row reads
    // the row above's records only after that row's parse is done, and a
    // reconstruction reads a record only after its parse
    dec->apWorkerCtus[w] = static_cast<HevcCtu*>(HevcAlignedAllocRaw(cols * sizeof(HevcCtu)));
    dec->apWorkerSlices[w] = static_cast<HevcSliceState*>(HevcAlignedAllocRaw(cols * sizeof(HevcSliceState)));
    dec->apWorkerInfos[w] = static_cast<HevcPictureInfo*>(HevcAlignedAllocRaw(cols * sizeof(HevcPictureInfo)));
    if (!dec->apWorker[w] || !dec->apWorkerCtus[w] || !dec->apWorkerSlices[w] || !dec->apWorkerInfos[w])
      return -1;
  }
  for (int w = 0; w < kRowContexts; ++w) {
    HevcDecoder* copy = dec->apWorker[w];
    std::memcpy(static_cast<void*>(copy), dec, sizeof(HevcDecoder));
    copy->pSync = nullptr;
    copy->pOwnScratch = static_cast<int16_t*>(HevcAlignedAlloc(4 * 64 * 64 * sizeof(int16_t)));
    copy->pSaoScratch = static_cast<uint8_t*>(HevcAlignedAllocRaw(kSaoScratchRows * (dec->iMaxWidth + 2 * kPadX)));
    if (!copy->pOwnScratch || !copy->pSaoScratch) return -1;
    for (int i = 0; i < 4; ++i) copy->apPredScratch[i] = copy->pOwnScratch + i * 64 * 64;
    auto* sync = static_cast<HevcCtu*>(HevcAlignedAlloc(sizeof(HevcCtu)));
    if (!sync) return -1;
    copy->pSync = sync;
    sync->iPublished = -1;
    sync->bParseDone = 0;
    if (HevcMutexInit(&sync->pMutexA) || HevcCondInit(&sync->pCondA) || HevcMutexInit(&sync->pMutexB) ||
        HevcCondInit(&sync->pCondB))
      return -1;
  }
  return 0;
}

}  // namespace

int HevcThreadsInit(HevcDecoder* dec) {
  dec->ucWorkers = kMaxWorkers;
  dec->piRowProgress = static_cast<int32_t*>(HevcAlignedAlloc(sizeof(int32_t) * (dec->iMaxHeight / 16 + 1)));
  if (!dec->piRowProgress) return -1;
  return HevcThreadingInit() ? -1 : 0;
}

int HevcThreadsStart(HevcDecoder* dec) {
  if (HevcWorkerPoolCreate(&dec->pPool, dec->ucWorkers, kRowContexts, HevcNoStart, dec)) return -1;
  return HevcCreateWorkerContexts(dec);
}

void HevcThreadsStop(HevcDecoder* dec) {
  HevcAlignedFree(dec->piRowProgress);
  dec->piRowProgress = nullptr;
  HevcWorkerPoolDelete(dec->pPool);
  dec->pPool = nullptr;
  for (int w = 0; w < kRowContexts; ++w) {
    HevcDecoder* copy = dec->apWorker[w];
    if (copy) {
      if (HevcCtu* sync = copy->pSync) {
        HevcMutexDestroy(&sync->pMutexA);
        HevcCondDestroy(&sync->pCondA);
        HevcMutexDestroy(&sync->pMutexB);
        HevcCondDestroy(&sync->pCondB);
        HevcAlignedFree(sync);
      }
      HevcAlignedFree(copy->pOwnScratch);
      HevcAlignedFree(copy->pSaoScratch);
      HevcAlignedFree(copy);
    }
    HevcAlignedFree(dec->apWorkerCtus[w]);
    HevcAlignedFree(dec->apWorkerSlices[w]);
    HevcAlignedFree(dec->apWorkerInfos[w]);
    dec->apWorker[w] = nullptr;
    dec->apWorkerCtus[w] = nullptr;
    dec->apWorkerSlices[w] = nullptr;
    dec->apWorkerInfos[w] = nullptr;
  }
}

int32_t HevcDecodePicture(HevcDecoder* dec) {
  HevcAuBatch* au = &dec->stAu;
  const HevcPps* pps = dec->pPps;
  const HevcPictureInfo& g = dec->stPic;
  dec->bPicFailed = 1;
  if (au->iCount > kAuMaxUnits) return -1;
  int slices = 0, lastSlice = au->iCursor;
  bool threads = true, paramSet = false;
  for (int i = 0; i < au->iCount; ++i) {
    const int t = au->aiType[i];
    if (t >= 32 && t <= 34) paramSet = true;
    if (!IsSlice(t)) continue;
    ++slices;
    lastSlice = i;
    if (paramSet) threads = false;  // a parameter set between the slices of a picture
  }
  if (g.PicWidthInCtbsY <= 3) threads = false;
  if (g.PicHeightInCtbsY < dec->ucWorkers) dec->ucWorkers = static_cast<uint8_t>(g.PicHeightInCtbsY);
  const bool tiles = pps->tiles_enabled_flag && (pps->num_tile_columns > 1 || pps->num_tile_rows > 1);
  if (slices > 1 && tiles) threads = false;
  if (dec->ucWorkers == 0) return 0;
  if (!threads) {
    dec->eThreadType = 0;
    return HevcDecodeUnits(dec, lastSlice);
  }
  if (slices == 0) return -1;
  int32_t r = HevcPrepareSliceData(dec);
  if (r) return r;
  if (slices > 1) {
    r = HevcDecodeSlicesMt(dec);
  } else if (!tiles) {
    r = HevcDecodeRowsMt(dec);
  } else {
    // tile rows outer, tile columns inner; a tile given up ends the picture
    bool stop = false;
    for (int tr = 0; tr < pps->num_tile_rows && !stop; ++tr)
      for (int tc = 0; tc < pps->num_tile_columns && !stop; ++tc) {
        const int w = pps->colBd[tc + 1] - pps->colBd[tc], h = pps->rowBd[tr + 1] - pps->rowBd[tr];
        const int rs = pps->rowBd[tr] * g.PicWidthInCtbsY + pps->colBd[tc];
        r = HevcDecodeTilesMt(dec, w, h, pps->CtbAddrRsToTs[rs]);
        stop = r != 0 || dec->bPicFailed;
      }
  }
  if (r) return -1;
  if (dec->bPicFailed) return 0;
  const int S = dec->pSps->CtbSizeY, lastY = (g.PicHeightInCtbsY - 1) * S;
  HevcPadBorders(dec, g.iHeight - lastY, lastY);
  HevcPadPicture(dec);
  dec->LcuCnt = g.PicSizeInCtbsY;
  HevcPicture* p = dec->pCurPic;
  p->iDecoded = 1;
  p->aiSettled[0] = p->iPicWidth, p->aiSettled[1] = p->iPicHeight, p->aiSettled[2] = p->iPicStride;
  return 0;
}

}  // namespace hevc
