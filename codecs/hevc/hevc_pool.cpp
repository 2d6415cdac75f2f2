// Worker pool: a fixed set of threads taking jobs from a bounded run list and
// marking them finished, where the dispatcher collects them by argument
// without a lock (sleeping on the job's flag if it must).
#include "codecs/hevc/hevc_pool.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/thread.h"

namespace hevc {

void* HevcAlignedAllocRaw(size_t n) {
  // raw + 23 rounded down to 16: room below for the raw address and the size
  auto* raw = static_cast<uint8_t*>(std::malloc(n + 23));
  if (!raw) return nullptr;
  auto* p = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(raw) + 23) & ~uintptr_t{15});
  reinterpret_cast<void**>(p)[-1] = raw;
  reinterpret_cast<size_t*>(p)[-2] = n;
  return p;
}

void* HevcAlignedAlloc(size_t n) {
  void* p = HevcAlignedAllocRaw(n);
  if (p) std::memset(p, 0, n);
  return p;
}

void HevcAlignedFree(void* p) {
  if (p) std::free(static_cast<void**>(p)[-1]);
}

// ------------------------------------------------------------ threads, locks

int HevcThreadCreate(HevcThread* t, int32_t (*fn)(void*), void* arg) {
  t->fn = fn;
  t->arg = arg;
  void* mem = HevcAlignedAlloc(sizeof(platform::Thread));
  if (!mem) return 1;
  t->handle = new (mem) platform::Thread();
  if (!t->handle->Start("hevc-worker", [t] {
        t->result = t->fn(t->arg);
        return 0u;
      })) {
    t->handle->~Thread();
    HevcAlignedFree(mem);
    t->handle = nullptr;
    return 1;
  }
  return 0;
}

int HevcThreadJoin(HevcThread* t, int32_t* result) {
  if (!t->handle) return -1;
  t->handle->Join();
  t->handle->~Thread();
  HevcAlignedFree(t->handle);
  t->handle = nullptr;
  if (result) *result = t->result;
  return 0;
}

int HevcMutexInit(HevcMutex** m) {
  void* mem = HevcAlignedAlloc(sizeof(HevcMutex));
  if (!mem) return 1;
  *m = new (mem) HevcMutex();
  return 0;
}

int HevcMutexLock(HevcMutex* m) {
  m->lock();
  return 0;
}

int HevcMutexUnlock(HevcMutex* m) {
  m->unlock();
  return 0;
}

int HevcMutexDestroy(HevcMutex** m) {
  if (*m) {
    (*m)->~HevcMutex();
    HevcAlignedFree(*m);
    *m = nullptr;
  }
  return 0;
}

int HevcCondInit(HevcCond** c) {
  void* mem = HevcAlignedAlloc(sizeof(HevcCond));
  if (!mem) return -1;
  *c = new (mem) HevcCond();
  return 0;
}

int HevcCondDestroy(HevcCond** c) {
  if (*c) {
    (*c)->~HevcCond();
    HevcAlignedFree(*c);
    *c = nullptr;
  }
  return 0;
}

int HevcCondBroadcast(HevcCond* c) {
  c->notify_all();
  return 0;
}

int HevcCondSignal(HevcCond* c) {
  c->notify_one();
  return 0;
}

int HevcCondWait(HevcCond* c, HevcMutex* m) {
  std::unique_lock<HevcMutex> lock(*m, std::adopt_lock);
  c->wait(lock);
  lock.release();
  return 0;
}

namespace {
std::atomic<int> g_threadingOnce{0};
HevcMutex* g_staticLock = nullptr;

void HevcThreadingExit() { HevcMutexDestroy(&g_staticLock); }
}  // namespace

int HevcThreadingInit() {
  int expected = 0;
  if (!g_threadingOnce.compare_exchange_strong(expected, 1)) return g_staticLock ? 0 : -1;
  if (HevcMutexInit(&g_staticLock)) return -1;
  std::atexit(HevcThreadingExit);
  return 0;
}

// ------------------------------------------------------------------ lists

int HevcJobListInit(HevcJobList* l, int32_t capacity) {
  std::memset(l, 0, sizeof *l);
  if (capacity < 0) return -1;
  l->entries = static_cast<HevcJob**>(HevcAlignedAlloc(sizeof(HevcJob*) * (capacity + 1)));
  if (!l->entries) return -1;
  l->capacity = capacity;
  if (HevcMutexInit(&l->mutex) || HevcCondInit(&l->cvFill) || HevcCondInit(&l->cvEmpty)) return -1;
  return 0;
}

void HevcJobListPush(HevcJobList* l, HevcJob* job) {
  l->iLastResult = HevcMutexLock(l->mutex);
  while (l->size >= l->capacity) l->iLastResult = HevcCondWait(l->cvEmpty, l->mutex);
  l->entries[l->size++] = job;
  l->entries[l->size] = nullptr;
  HevcMutexUnlock(l->mutex);
  if (l->bWakeOne)
    HevcCondSignal(l->cvFill);
  else
    HevcCondBroadcast(l->cvFill);
}

void HevcJobListDelete(HevcJobList* l) {
  if (l->entries) {
    for (int i = 0; i < l->size; ++i) HevcAlignedFree(l->entries[i]);
    HevcAlignedFree(l->entries);
  }
  l->entries = nullptr;
  l->size = 0;
  HevcMutexDestroy(&l->mutex);
  HevcCondDestroy(&l->cvFill);
  HevcCondDestroy(&l->cvEmpty);
}

// ------------------------------------------------------------------- pool

namespace {

int32_t HevcWorker(void* arg) {
  auto* pool = static_cast<HevcWorkerPool*>(arg);
  if (pool->startFn) pool->startFn(pool->startArg);
  HevcJobList* run = &pool->run;
  for (;;) {
    HevcMutexLock(run->mutex);
    while (!pool->bExit && run->size == 0) HevcCondWait(run->cvFill, run->mutex);
    if (pool->bExit) {
      HevcMutexUnlock(run->mutex);
      break;
    }
    HevcJob* job = run->entries[0];
    std::memmove(run->entries, run->entries + 1, sizeof(HevcJob*) * run->size);
    --run->size;
    HevcMutexUnlock(run->mutex);
    HevcCondBroadcast(run->cvEmpty);
    job->result = job->fn(job->arg);
    std::atomic_ref<int32_t> finished(job->bFinished);
    finished.store(1, std::memory_order_release);
    finished.notify_all();
  }
  return 0;
}

}  // namespace

int HevcWorkerPoolCreate(HevcWorkerPool** out, int32_t threads, int32_t jobs, void (*startFn)(void*),
                         void* startArg) {
  *out = nullptr;
  if (threads <= 0 || jobs < threads) return -1;
  auto* pool = static_cast<HevcWorkerPool*>(HevcAlignedAlloc(sizeof(HevcWorkerPool)));
  if (!pool) return -1;
  *out = pool;
  pool->startFn = startFn;
  pool->startArg = startArg;
  pool->pThreads = static_cast<HevcThread*>(HevcAlignedAlloc(sizeof(HevcThread) * threads));
  if (!pool->pThreads) return -1;
  if (HevcJobListInit(&pool->free, jobs) || HevcJobListInit(&pool->run, jobs)) return -1;
  pool->run.bWakeOne = 1;  // an idle worker for each queued job
  pool->ppJobs = static_cast<HevcJob**>(HevcAlignedAlloc(sizeof(HevcJob*) * jobs));
  if (!pool->ppJobs) return -1;
  for (int i = 0; i < jobs; ++i) {
    auto* job = static_cast<HevcJob*>(HevcAlignedAlloc(sizeof(HevcJob)));
    if (!job) return -1;
    pool->ppJobs[i] = job;
    pool->iJobs = i + 1;
    HevcJobListPush(&pool->free, job);
  }
  for (int i = 0; i < threads; ++i) {
    if (HevcThreadCreate(&pool->pThreads[i], HevcWorker, pool)) return -1;
    pool->iThreadCount = i + 1;
  }
  return 0;
}

void HevcWorkerPoolQueue(HevcWorkerPool* pool, int32_t (*fn)(void*), void* arg) {
  HevcJobList* f = &pool->free;
  HevcMutexLock(f->mutex);
  while (f->size == 0) HevcCondWait(f->cvFill, f->mutex);
  HevcJob* job = f->entries[--f->size];
  f->entries[f->size] = nullptr;
  HevcMutexUnlock(f->mutex);
  HevcCondBroadcast(f->cvEmpty);
  job->fn = fn;
  job->arg = arg;
  job->result = 0;
  job->bFinished = 0;
  job->bQueued = 1;
  HevcJobListPush(&pool->run, job);
}

int32_t HevcWorkerPoolWait(HevcWorkerPool* pool, void* arg) {
  HevcJob* job = nullptr;
  for (int i = 0; i < pool->iJobs && !job; ++i)
    if (pool->ppJobs[i]->bQueued && pool->ppJobs[i]->arg == arg) job = pool->ppJobs[i];
  if (!job) return -1;
  std::atomic_ref<int32_t> finished(job->bFinished);
  while (!finished.load(std::memory_order_acquire)) finished.wait(0, std::memory_order_acquire);
  job->bQueued = 0;
  const int32_t result = job->result;
  HevcJobListPush(&pool->free, job);
  return result;
}

void HevcWorkerPoolDelete(HevcWorkerPool* pool) {
  if (!pool) return;
  if (pool->run.mutex) {
    HevcMutexLock(pool->run.mutex);
    pool->bExit = 1;
    HevcMutexUnlock(pool->run.mutex);
    HevcCondBroadcast(pool->run.cvFill);
  }
  for (int i = 0; i < pool->iThreadCount; ++i) HevcThreadJoin(&pool->pThreads[i], nullptr);
  // every record is freed once, from the list of all of them
  pool->free.size = pool->run.size = 0;
  HevcJobListDelete(&pool->free);
  HevcJobListDelete(&pool->run);
  for (int i = 0; i < pool->iJobs; ++i) HevcAlignedFree(pool->ppJobs[i]);
  HevcAlignedFree(pool->ppJobs);
  HevcAlignedFree(pool->pThreads);
  HevcAlignedFree(pool);
}

}  // namespace hevc
