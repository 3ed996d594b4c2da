// ThreadBase: one worker thread whose body is the derived class's Run.
#pragma once

#include <atomic>

#include "platform/platform.h"

namespace vxb {

class ThreadBase {
 public:
  ThreadBase() = default;
  // Destroying a thread object waits for its thread to end.
  virtual ~ThreadBase();
  ThreadBase(const ThreadBase&) = delete;
  ThreadBase& operator=(const ThreadBase&) = delete;

  // Starts Run on a new thread. A thread of an earlier Start that has not
  // been waited for is waited for first, so a handle is never overwritten
  // while its thread runs.
  virtual void Start();
  // Waits without time limit for the thread to end; returns at once when
  // there is no thread, or when called on the thread itself. Safe to call
  // again.
  virtual void Wait();
  // True when called on this object's own thread: from its first
  // instruction on, and also while another thread waits for it or releases
  // its handle. Reads nothing another thread may free.
  bool IsCurrentThread() const;
  bool HasThread() const { return handle_.load() != nullptr; }

 protected:
  virtual void Run() = 0;

 private:
  static void Entry(void* self);
  std::atomic<plat::ThreadImpl*> handle_{nullptr};
};

}  // namespace vxb
