// Lock and Semaphore: the library's two synchronisation building blocks,
// thin owners of the platform's critical section and counting semaphore.
#pragma once

#include <cstdint>

#include "platform.h"

namespace vxb {

class Lock {
 public:
  Lock() : m_(plat::MutexCreate()) {}
  ~Lock() { plat::MutexDestroy(m_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Enter() { plat::MutexEnter(m_); }
  void Leave() { plat::MutexLeave(m_); }

 private:
  plat::MutexImpl* m_;
};

// Holds a Lock for one scope.
class Guard {
 public:
  explicit Guard(Lock& lock) : lock_(lock) { lock_.Enter(); }
  ~Guard() { lock_.Leave(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  Lock& lock_;
};

// Counting semaphore: count 0 at first, at most 5000.
class Semaphore {
 public:
  static constexpr int32_t kMaximum = 5000;

  Semaphore() : s_(plat::SemaphoreCreate(0, kMaximum)) {}
  ~Semaphore() { plat::SemaphoreDestroy(s_); }
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // True only when a count was taken within timeoutMs.
  bool WaitOne(uint32_t timeoutMs = plat::kInfinite) { return plat::SemaphoreWait(s_, timeoutMs); }
  // False when the count already stands at the maximum.
  bool Release() { return plat::SemaphoreRelease(s_); }
  // Takes every count that is there without waiting.
  void Drain() {
    while (plat::SemaphoreWait(s_, 0)) {
    }
  }

 private:
  plat::SemaphoreImpl* s_;
};

}  // namespace vxb
