// Lock, Guard and CondVar: the library's synchronisation building blocks,
// thin owners of the platform's critical section and condition variable,
// annotated for clang's thread-safety analysis.
#pragma once

#include <cstdint>

#include "platform.h"
#include "thread_annotations.h"

namespace vxb {

class CAPABILITY("mutex") Lock {
 public:
  Lock() : m_(plat::MutexCreate()) {}
  ~Lock() { plat::MutexDestroy(m_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Enter() ACQUIRE() { plat::MutexEnter(m_); }
  void Leave() RELEASE() { plat::MutexLeave(m_); }

 private:
  friend class CondVar;
  plat::MutexImpl* m_;
};

// Holds a Lock for one scope.
class SCOPED_CAPABILITY Guard {
 public:
  explicit Guard(Lock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Enter(); }
  ~Guard() RELEASE() { lock_.Leave(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  Lock& lock_;
};

// A deadline in the platform's monotonic milliseconds; kNever for none.
struct Deadline {
  static constexpr uint64_t kNever = ~uint64_t{0};
  uint64_t at = kNever;

  // timeoutMs from now (plat::kInfinite: never).
  static Deadline In(uint32_t timeoutMs) {
    return Deadline{timeoutMs == plat::kInfinite ? kNever : plat::MonotonicMs() + timeoutMs};
  }
  bool Passed() const { return at != kNever && plat::MonotonicMs() >= at; }
  // What is left of it for one wait: plat::kInfinite when there is no
  // deadline, 0 once it has passed.
  uint32_t LeftMs() const {
    if (at == kNever) return plat::kInfinite;
    const uint64_t now = plat::MonotonicMs();
    if (now >= at) return 0;
    const uint64_t left = at - now;
    return left >= plat::kInfinite ? plat::kInfinite - 1 : static_cast<uint32_t>(left);
  }
};

// A condition variable. Callers wait for a predicate under the lock, in a
// loop, until it holds or a deadline passes (the shape of nng's
// nni_cv_until):
//
//   while (!ready_) {
//     if (!cv_.Wait(lock_, deadline)) return kTimedOut;
//   }
class CondVar {
 public:
  CondVar() : c_(plat::CondCreate()) {}
  ~CondVar() { plat::CondDestroy(c_); }
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // False at once when the deadline has passed; otherwise sleeps until
  // woken, the deadline, or a spurious wake-up, and returns true: the
  // caller looks at its predicate again.
  bool Wait(Lock& lock, Deadline deadline) REQUIRES(lock) {
    const uint32_t left = deadline.LeftMs();
    if (left == 0) return false;
    plat::CondWait(c_, lock.m_, left);
    return true;
  }
  // False when the platform could not make one (no memory).
  bool Valid() const { return c_ != nullptr; }
  void Signal() { plat::CondSignal(c_); }
  void Broadcast() { plat::CondBroadcast(c_); }

 private:
  plat::CondImpl* c_;
};

}  // namespace vxb
