// The worker pool of threaded decoding and the thin threading layer under it:
// threads from the platform layer, mutexes and the system's own condition
// variables. Every block here comes from the process heap, 16-byte aligned.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace platform {
class Thread;
}

namespace hevc {

using HevcMutex = std::mutex;
using HevcCond = std::condition_variable;

struct HevcJob {
  int32_t (*fn)(void*);
  void* arg;
  int32_t result;
  int32_t bFinished;  // set by the worker after result; the dispatcher sleeps on it
  int32_t bQueued;    // queued and not yet collected: the dispatcher's own
};

// A bounded list: entries[capacity + 1], the entry after the last used one NULL.
struct HevcJobList {
  HevcJob** entries;
  int32_t capacity, size;
  int32_t iLastResult;
  HevcMutex* mutex;
  HevcCond* cvFill;   // after an entry was added: broadcast, or one waiter woken
  int32_t bWakeOne;   // the waiters are alike: any one of them takes the entry
  HevcCond* cvEmpty;  // broadcast after an entry was removed
};

struct HevcThread {
  platform::Thread* handle;
  int32_t (*fn)(void*);
  void* arg;
  int32_t result;
};

struct HevcWorkerPool {
  int32_t bExit;  // guarded by the run list's mutex
  int32_t iThreadCount;
  HevcThread* pThreads;
  void (*startFn)(void*);
  void* startArg;
  HevcJob** ppJobs;  // every job record
  int32_t iJobs;
  HevcJobList free, run;
};

// heap blocks: 16-byte aligned, zeroed
void* HevcAlignedAlloc(size_t n);
// the same, not zeroed: for records every reader finds written first
void* HevcAlignedAllocRaw(size_t n);
void HevcAlignedFree(void* p);

// threads, locks and conditions: 0 on success
int HevcThreadCreate(HevcThread* t, int32_t (*fn)(void*), void* arg);
int HevcThreadJoin(HevcThread* t, int32_t* result);
int HevcMutexInit(HevcMutex** m);
int HevcMutexLock(HevcMutex* m);
int HevcMutexUnlock(HevcMutex* m);
int HevcMutexDestroy(HevcMutex** m);
int HevcCondInit(HevcCond** c);
int HevcCondDestroy(HevcCond** c);
int HevcCondBroadcast(HevcCond* c);
int HevcCondSignal(HevcCond* c);
int HevcCondWait(HevcCond* c, HevcMutex* m);  // m held; held again on return

// once per process; 0 when the layer is ready
int HevcThreadingInit();

int HevcJobListInit(HevcJobList* l, int32_t capacity);
void HevcJobListPush(HevcJobList* l, HevcJob* job);
void HevcJobListDelete(HevcJobList* l);

// threads workers; jobs (at least threads) job records, the most jobs queued or uncollected at a time
int HevcWorkerPoolCreate(HevcWorkerPool** out, int32_t threads, int32_t jobs, void (*startFn)(void*),
                         void* startArg);
// takes a free job record, fills it and appends it to the run list
void HevcWorkerPoolQueue(HevcWorkerPool* pool, int32_t (*fn)(void*), void* arg);
// waits for the job with this argument and returns its result
int32_t HevcWorkerPoolWait(HevcWorkerPool* pool, void* arg);
void HevcWorkerPoolDelete(HevcWorkerPool* pool);

}  // namespace hevc
