// Critical sections, condition variables, threads and fiber-local slots.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace vxb::plat {

struct MutexImpl {
  CRITICAL_SECTION cs;
};

MutexImpl* MutexCreate() {
  auto* m = new (std::nothrow) MutexImpl;
  if (m == nullptr) {
    std::fputs("vxbridge: a lock could not be created; the process ends\n", stderr);
    std::abort();
  }
  InitializeCriticalSection(&m->cs);
  return m;
}
void MutexDestroy(MutexImpl* m) {
  if (m == nullptr) return;
  DeleteCriticalSection(&m->cs);
  delete m;
}
void MutexEnter(MutexImpl* m) { EnterCriticalSection(&m->cs); }
void MutexLeave(MutexImpl* m) { LeaveCriticalSection(&m->cs); }

struct CondImpl {
  CONDITION_VARIABLE cv;
};

CondImpl* CondCreate() {
  auto* c = new (std::nothrow) CondImpl;
  if (c != nullptr) InitializeConditionVariable(&c->cv);
  return c;
}
// A condition variable holds nothing to release.
void CondDestroy(CondImpl* c) { delete c; }
bool CondWait(CondImpl* c, MutexImpl* m, uint32_t timeoutMs) {
  return SleepConditionVariableCS(&c->cv, &m->cs, timeoutMs) != 0 ||
         GetLastError() != ERROR_TIMEOUT;
}
void CondSignal(CondImpl* c) { WakeConditionVariable(&c->cv); }
void CondBroadcast(CondImpl* c) { WakeAllConditionVariable(&c->cv); }

// The performance counter, not GetTickCount64: the tick moves in steps of
// about 15.6 ms, so a deadline taken from it could end a time-out that much
// before its time.
uint64_t MonotonicMs() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const auto count = static_cast<uint64_t>(now.QuadPart);
  // In two steps, so that the product cannot overflow in a long uptime.
  return count / frequency * 1000u + count % frequency * 1000u / frequency;
}

namespace {

struct Detached {
  ThreadEntry entry;
  void* arg;
  HMODULE module;  // the reference this thread holds on the code it runs
};

DWORD WINAPI DetachedTrampoline(LPVOID p) {
  auto* d = static_cast<Detached*>(p);
  const Detached copy = *d;
  delete d;
  copy.entry(copy.arg);
  // The module may be unloaded the moment its last reference goes: that
  // reference is let go on the way out, with no code of the module left to
  // run on this thread.
  FreeLibraryAndExitThread(copy.module, 0);
}

}  // namespace

struct ThreadImpl {
  HANDLE h;
};

ThreadImpl* ThreadStart(ThreadEntry entry, void* arg) {
  if (ThreadStartShouldFail()) return nullptr;
  auto* t = new (std::nothrow) ThreadImpl{nullptr};
  if (t == nullptr) return nullptr;
  auto* d = new (std::nothrow) Detached{entry, arg, nullptr};
  if (d == nullptr) {
    delete t;
    return nullptr;
  }
  // Taken here, before the thread exists: a host that unloads the library
  // right after this call cannot pull the code from under the new thread.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&DetachedTrampoline), &d->module)) {
    delete d;
    delete t;
    return nullptr;
  }
  t->h = CreateThread(nullptr, 0, DetachedTrampoline, d, 0, nullptr);
  if (t->h == nullptr) {
    FreeLibrary(d->module);
    delete d;
    delete t;
    return nullptr;
  }
  return t;
}

bool ThreadWaitEnded(ThreadImpl* t, uint32_t timeoutMs) {
  return t != nullptr && WaitForSingleObject(t->h, timeoutMs) == WAIT_OBJECT_0;
}

void ThreadRelease(ThreadImpl* t) {
  if (t == nullptr) return;
  CloseHandle(t->h);
  delete t;
}

bool TeardownIsProcessExit() {
  using ShutdownInProgress = BOOLEAN(NTAPI*)();
  static const auto inProgress = reinterpret_cast<ShutdownInProgress>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
  return inProgress != nullptr && inProgress() != 0;
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

namespace {
// The index behind ThreadTagGet/Set: taken at load, given back at unload
// (not at the process's end, which takes everything with it).
struct TagIndex {
  DWORD index = TlsAlloc();
  ~TagIndex() {
    if (index != TLS_OUT_OF_INDEXES && !TeardownIsProcessExit()) TlsFree(index);
  }
} g_tag;
}  // namespace

void* ThreadTagGet() { return g_tag.index == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(g_tag.index); }
void ThreadTagSet(void* value) {
  if (g_tag.index != TLS_OUT_OF_INDEXES) TlsSetValue(g_tag.index, value);
}

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
