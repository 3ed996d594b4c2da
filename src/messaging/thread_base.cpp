#include "thread_base.h"

namespace vxb {

ThreadBase::~ThreadBase() { Wait(); }

void ThreadBase::Entry(void* self) { static_cast<ThreadBase*>(self)->Run(); }

void ThreadBase::Start() {
  Wait();
  handle_.store(plat::ThreadStart(&ThreadBase::Entry, this));
}

void ThreadBase::Wait() {
  plat::ThreadImpl* h = handle_.exchange(nullptr);
  // A thread cannot wait for itself; leave its handle to the next Wait.
  if (h != nullptr && plat::ThreadIsCurrent(h)) {
    handle_.store(h);
    return;
  }
  plat::ThreadJoin(h);
}

bool ThreadBase::IsCurrentThread() const { return plat::ThreadIsCurrent(handle_.load()); }

}  // namespace vxb
