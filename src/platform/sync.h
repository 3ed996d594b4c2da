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

  // timeoutMs from now (plat::kInfinite: never). Rounded up by one
  // millisecond: the clock counts whole milliseconds, so "now" may be up to
  // one behind the real time, and a time-out must never end before its time.
  static Deadline In(uint32_t timeoutMs) {
    return Deadline{timeoutMs == plat::kInfinite ? kNever : plat::MonotonicMs() + timeoutMs + 1};
  }
  // What is left of it for one wait: plat::kInfinite when there is no
  // deadline, 0 once it has passed.
  uint32_t LeftMs() const {
    if (at == kNever) return plat::kInfinite;
    const uint64_t now = plat::MonotonicMs();
    if (now >= at) return 0;
    const uint64_t left = at - now;
    return left >= plat::kInfinite ? plat::kInfinite - 1 : static_cast<uint32_t>(left);
  }
  // The later of two deadlines.
  static Deadline Later(Deadline a, Deadline b) { return a.at >= b.at ? a : b; }
};

// A condition variable. The only way to wait on it is Await, which sleeps
// until a predicate holds or a deadline passes and says which (the shape of
// nng's nni_cv_until): a caller cannot loop on a wait that has timed out
// while it keeps the lock, because there is no such wait to loop on.
class CondVar {
 public:
  CondVar() : c_(plat::CondCreate()) {}
  ~CondVar() { plat::CondDestroy(c_); }
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Returns true once ready() holds, or false once the deadline has passed
  // with ready() still false; never false before the deadline. The lock is
  // let go while asleep. ready() runs under the lock: it may be a lambda
  // marked REQUIRES of the caller's lock, which the analysis cannot tie to
  // `lock` in here; callers are still held to holding it.
  template <typename Ready>
  bool Await(Lock& lock, Deadline deadline, Ready ready) REQUIRES(lock) NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) {
      const uint32_t left = deadline.LeftMs();
      if (left == 0) return false;
      plat::CondWait(c_, lock.m_, left);
    }
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
