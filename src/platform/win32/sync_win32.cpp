// Critical sections, Win32 semaphores, threads and fiber-local slots.
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/platform.h"

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

namespace {

// A fiber-local storage callback receives the value only, so each slot has
// a callback of its own that knows which function to call: a few slots are
// all the library needs.
constexpr int kSlotCallbacks = 4;
std::atomic<ThreadEndFn> g_onThreadEnd[kSlotCallbacks];
std::atomic<bool> g_callbackTaken[kSlotCallbacks];

template <int N>
VOID WINAPI SlotEnded(PVOID value) {
  // Null while the slot is being destroyed: FlsFree calls back for every
  // value still set, which the contract leaves to the owner.
  if (ThreadEndFn fn = g_onThreadEnd[N].load(); fn != nullptr && value != nullptr) fn(value);
}

const PFLS_CALLBACK_FUNCTION kSlotEnded[kSlotCallbacks] = {SlotEnded<0>, SlotEnded<1>,
                                                            SlotEnded<2>, SlotEnded<3>};

}  // namespace

struct ThreadSlotImpl {
  DWORD index;
  int callback;
};

ThreadSlotImpl* ThreadSlotCreate(ThreadEndFn onThreadEnd) {
  int n = 0;
  for (; n < kSlotCallbacks; ++n) {
    if (!g_callbackTaken[n].exchange(true)) break;
  }
  if (n == kSlotCallbacks) return nullptr;
  auto* slot = new (std::nothrow) ThreadSlotImpl{FLS_OUT_OF_INDEXES, n};
  if (slot != nullptr) {
    g_onThreadEnd[n].store(onThreadEnd);
    slot->index = FlsAlloc(kSlotEnded[n]);
    if (slot->index != FLS_OUT_OF_INDEXES) return slot;
    delete slot;
  }
  g_onThreadEnd[n].store(nullptr);
  g_callbackTaken[n].store(false);
  return nullptr;
}

void ThreadSlotDestroy(ThreadSlotImpl* slot) {
  if (slot == nullptr) return;
  g_onThreadEnd[slot->callback].store(nullptr);
  FlsFree(slot->index);
  g_callbackTaken[slot->callback].store(false);
  delete slot;
}

void* ThreadSlotGet(ThreadSlotImpl* slot) {
  return slot == nullptr ? nullptr : FlsGetValue(slot->index);
}

bool ThreadSlotSet(ThreadSlotImpl* slot, void* value) {
  return slot != nullptr && FlsSetValue(slot->index, value) != 0;
}

}  // namespace vxb::plat
