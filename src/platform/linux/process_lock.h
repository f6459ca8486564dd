// A lock that costs nothing while the process has a single thread. A flush pass asks the
// backend about every volume, and each call locks the shared state; taking a mutex means
// atomic instructions that a lone thread does not need, since it cannot race itself. So
// the mutex is taken only when the C library says that other threads exist. That is safe
// because no thread is started while one of these locks is held: a thread started later
// finds the mutex free. Where the C library cannot tell, the mutex is always taken.
#pragma once

#include <pthread.h>

#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define LINUX_KNOWS_SINGLE_THREADED 1
#else
#define LINUX_KNOWS_SINGLE_THREADED 0
#endif

struct ProcessLock {
  pthread_mutex_t mutex;
  bool taken;  // whether the holder took the mutex; only the holder reads or writes it
};

#define PROCESS_LOCK_INITIALIZER {PTHREAD_MUTEX_INITIALIZER, false}

inline void TakeLock(ProcessLock* lock) {
#if LINUX_KNOWS_SINGLE_THREADED
  if (__libc_single_threaded) {
    lock->taken = false;
    return;
  }
#endif
  pthread_mutex_lock(&lock->mutex);
  lock->taken = true;
}

inline void ReleaseLock(ProcessLock* lock) {
  if (lock->taken) pthread_mutex_unlock(&lock->mutex);
}
