// Critical sections, Win32 semaphores and threads.
#include <windows.h>

#include <new>

#include "../platform.h"

namespace vxb::plat {

struct MutexImpl {
  CRITICAL_SECTION cs;
};

MutexImpl* MutexCreate() {
  auto* m = new (std::nothrow) MutexImpl;
  if (m != nullptr) InitializeCriticalSection(&m->cs);
  return m;
}
void MutexDestroy(MutexImpl* m) {
  if (m == nullptr) return;
  DeleteCriticalSection(&m->cs);
  delete m;
}
void MutexEnter(MutexImpl* m) { EnterCriticalSection(&m->cs); }
void MutexLeave(MutexImpl* m) { LeaveCriticalSection(&m->cs); }

struct SemaphoreImpl {
  HANDLE h;
};

SemaphoreImpl* SemaphoreCreate(int32_t initial, int32_t maximum) {
  auto* s = new (std::nothrow) SemaphoreImpl;
  if (s != nullptr) s->h = CreateSemaphoreA(nullptr, initial, maximum, nullptr);
  return s;
}
void SemaphoreDestroy(SemaphoreImpl* s) {
  if (s == nullptr) return;
  if (s->h != nullptr) CloseHandle(s->h);
  delete s;
}
bool SemaphoreWait(SemaphoreImpl* s, uint32_t timeoutMs) {
  return s != nullptr && WaitForSingleObject(s->h, timeoutMs) == WAIT_OBJECT_0;
}
bool SemaphoreRelease(SemaphoreImpl* s) {
  return s != nullptr && ReleaseSemaphore(s->h, 1, nullptr) != 0;
}

struct ThreadImpl {
  HANDLE h;
  DWORD id;
  ThreadEntry entry;
  void* arg;
};

namespace {
DWORD WINAPI Trampoline(LPVOID p) {
  auto* t = static_cast<ThreadImpl*>(p);
  t->entry(t->arg);
  return 0;
}
}  // namespace

ThreadImpl* ThreadStart(ThreadEntry entry, void* arg) {
  auto* t = new (std::nothrow) ThreadImpl{};
  if (t == nullptr) return nullptr;
  t->entry = entry;
  t->arg = arg;
  t->h = CreateThread(nullptr, 0, Trampoline, t, 0, &t->id);
  if (t->h == nullptr) {
    delete t;
    return nullptr;
  }
  return t;
}

void ThreadJoin(ThreadImpl* t) {
  if (t == nullptr) return;
  WaitForSingleObject(t->h, INFINITE);
  CloseHandle(t->h);
  delete t;
}

// A Win32 thread ends without unwinding its stack: nothing to let through.
void RethrowThreadExit() {}

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace vxb::plat
