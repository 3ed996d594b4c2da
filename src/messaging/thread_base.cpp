#include "thread_base.h"

namespace vxb {

namespace {
// The thread object whose Run the calling thread executes (null on every
// other thread). Each thread reads only its own copy, so the answer never
// depends on a handle that Wait may be releasing meanwhile.
thread_local const ThreadBase* t_running = nullptr;
}  // namespace

ThreadBase::~ThreadBase() { Wait(); }

void ThreadBase::Entry(void* self) {
  auto* thread = static_cast<ThreadBase*>(self);
  t_running = thread;
  thread->Run();
}

void ThreadBase::Start() {
  Wait();
  handle_.store(plat::ThreadStart(&ThreadBase::Entry, this));
}

void ThreadBase::Wait() {
  // A thread cannot wait for itself; its handle stays for the next Wait.
  if (IsCurrentThread()) return;
  plat::ThreadJoin(handle_.exchange(nullptr));
}

bool ThreadBase::IsCurrentThread() const { return t_running == this; }

}  // namespace vxb
