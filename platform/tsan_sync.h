// Hand-offs through a library that is not built for ThreadSanitizer (Qt's event queue: its lock waits on
// futexes and its reference counts are atomics the sanitizer does not see), told to the sanitizer: what one
// thread wrote before Release(p) is seen by the thread that calls Acquire(p) after receiving p. Nothing in
// other builds.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define VELMORA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_TSAN 1
#endif
#endif

#ifdef VELMORA_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void TsanRelease(const void* p) { __tsan_release(const_cast<void*>(p)); }
inline void TsanAcquire(const void* p) { __tsan_acquire(const_cast<void*>(p)); }
#else
inline void TsanRelease(const void*) {}
inline void TsanAcquire(const void*) {}
#endif
