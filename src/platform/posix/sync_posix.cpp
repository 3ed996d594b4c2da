// Mutexes, condition variables, threads and thread-local slots on
// pthreads.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#if defined(__GLIBC__)
#include <cxxabi.h>
#endif

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace vxb::plat {

struct MutexImpl {
  pthread_mutex_t m;
};

MutexImpl* MutexCreate() {
  auto* m = new (std::nothrow) MutexImpl;
  if (m == nullptr || pthread_mutex_init(&m->m, nullptr) != 0) {
    std::fputs("vxbridge: a lock could not be created; the process ends\n", stderr);
    std::abort();
  }
  return m;
}
void MutexDestroy(MutexImpl* m) {
  if (m == nullptr) return;
  pthread_mutex_destroy(&m->m);
  delete m;
}
void MutexEnter(MutexImpl* m) { pthread_mutex_lock(&m->m); }
void MutexLeave(MutexImpl* m) { pthread_mutex_unlock(&m->m); }

struct CondImpl {
  pthread_cond_t cv;
};

CondImpl* CondCreate() {
  auto* c = new (std::nothrow) CondImpl;
  if (c == nullptr) return nullptr;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&c->cv, &attr);
  pthread_condattr_destroy(&attr);
  return c;
}

void CondDestroy(CondImpl* c) {
  if (c == nullptr) return;
  pthread_cond_destroy(&c->cv);
  delete c;
}

namespace {
timespec DeadlineIn(uint32_t timeoutMs) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}
}  // namespace

bool CondWait(CondImpl* c, MutexImpl* m, uint32_t timeoutMs) {
  if (timeoutMs == kInfinite) {
    pthread_cond_wait(&c->cv, &m->m);
    return true;
  }
  const timespec deadline = DeadlineIn(timeoutMs);
  return pthread_cond_timedwait(&c->cv, &m->m, &deadline) != ETIMEDOUT;
}

void CondSignal(CondImpl* c) { pthread_cond_signal(&c->cv); }
void CondBroadcast(CondImpl* c) { pthread_cond_broadcast(&c->cv); }

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

namespace {
struct Start {
  ThreadEntry entry;
  void* arg;
};

void* Trampoline(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.entry(start.arg);
  return nullptr;
}
}  // namespace

// Detached: nothing needs to wait for a thread's very end here (the
// system's process exit copes with threads on their way out), and a
// joinable thread nobody joined would be kept for ever. So a handle holds
// nothing: every thread started gets the same one.
struct ThreadImpl {};
namespace {
ThreadImpl g_detached;
}  // namespace

ThreadImpl* ThreadStart(ThreadEntry entry, void* arg) {
  if (ThreadStartShouldFail()) return nullptr;
  auto* start = new (std::nothrow) Start{entry, arg};
  pthread_attr_t attr;
  bool started = false;
  if (start != nullptr && pthread_attr_init(&attr) == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    started = pthread_create(&id, &attr, Trampoline, start) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!started) {
    delete start;
    return nullptr;
  }
  return &g_detached;
}

bool ThreadWaitEnded(ThreadImpl*, uint32_t) { return false; }

void ThreadRelease(ThreadImpl*) {}

bool TeardownIsProcessExit() { return true; }

#if defined(__GLIBC__)
// The forced unwind carries no object: its handler binds the reference to
// null by design, which the null check of the sanitizers would report.
__attribute__((no_sanitize("null")))
#endif
void RethrowThreadExit() {
#if defined(__GLIBC__)
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
#endif
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

namespace {
thread_local void* t_tag = nullptr;
}  // namespace

void* ThreadTagGet() { return t_tag; }
void ThreadTagSet(void* value) { t_tag = value; }

struct ThreadSlotImpl {
  pthread_key_t key;
};

ThreadSlotImpl* ThreadSlotCreate(ThreadEndFn onThreadEnd) {
  auto* slot = new (std::nothrow) ThreadSlotImpl;
  if (slot == nullptr) return nullptr;
  // The key's destructor is called with the value at thread exit; deleting
  // the key calls nothing, as the contract wants.
  if (pthread_key_create(&slot->key, onThreadEnd) != 0) {
    delete slot;
    return nullptr;
  }
  return slot;
}

void ThreadSlotDestroy(ThreadSlotImpl* slot) {
  if (slot == nullptr) return;
  pthread_key_delete(slot->key);
  delete slot;
}

void* ThreadSlotGet(ThreadSlotImpl* slot) {
  return slot == nullptr ? nullptr : pthread_getspecific(slot->key);
}

bool ThreadSlotSet(ThreadSlotImpl* slot, void* value) {
  return slot != nullptr && pthread_setspecific(slot->key, value) == 0;
}

}  // namespace vxb::plat
