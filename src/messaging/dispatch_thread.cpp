#include "dispatch_thread.h"

#include <algorithm>
#include <cstring>

namespace vxb {

DispatchThread::~DispatchThread() { Wait(); }

size_t DispatchThread::Footprint(const IncomingMessage& m) {
  // Moving a message keeps its blocks, so it counts the same when queued,
  // kept and taken.
  return kCallOverhead + m.name.capacity() + m.args.capacity();
}

void DispatchThread::Start() {
  Wait();
  {
    Guard g(queueLock_);
    DropQueued();
    brokenQueued_ = false;
  }
  ThreadBase::Start();
}

bool DispatchThread::PushCall(IncomingMessage message) {
  const size_t bytes = Footprint(message);
  Guard g(queueLock_);
  // Only the reader adds; others only take away, so the sum can only be
  // lower by the time the call is queued.
  if (bytes > kMaximumHeldBytes - std::min(heldBytes_.load(), kMaximumHeldBytes)) return false;
  try {
    queue_.push_back(std::move(message));
  } catch (...) {
    plat::RethrowThreadExit();
    return false;
  }
  heldBytes_ += bytes;
  return true;
}

void DispatchThread::PushBroken() {
  Guard g(queueLock_);
  DropQueued();
  brokenQueued_ = true;
}

void DispatchThread::DropQueued() {
  for (const IncomingMessage& m : queue_) heldBytes_ -= Footprint(m);
  queue_.clear();
}

void DispatchThread::SetCallHandler(CallHandler h) {
  Guard g(queueLock_);
  if (h != callHandler_.load()) DropQueued();
  callHandler_.store(h);
}

void DispatchThread::SetBrokenHandler(BrokenHandler h) {
  Guard g(queueLock_);
  if (h != brokenHandler_.load()) DropQueued();
  brokenHandler_.store(h);
}

bool DispatchThread::TakePending(CallRecord* record) {
  IncomingMessage m;
  {
    Guard g(pendingLock_);
    if (pending_.empty()) return false;
    m = std::move(pending_.front());
    pending_.pop_front();
  }
  heldBytes_ -= Footprint(m);
  std::memset(record, serverMode_.load() ? 0 : ' ', sizeof *record);
  std::memcpy(record->name, m.name.data(), std::min(m.name.size(), sizeof record->name));
  std::memcpy(record->args, m.args.data(), std::min(m.args.size(), sizeof record->args));
  return true;
}

void DispatchThread::SetBroken(bool value) {
  Guard g(pendingLock_);
  broken_ = value;
}

bool DispatchThread::TakeBroken() {
  Guard g(pendingLock_);
  const bool was = broken_;
  broken_ = false;
  return was;
}

bool DispatchThread::Deliver(IncomingMessage& m) {
  CallAnswer answer;
  std::memset(&answer, 0, sizeof answer);
  std::memcpy(answer.text, "OK", 3);
  if (CallHandler handler = callHandler_.load(); handler != nullptr) {
    runningCall_ = m.stamp;
    handler(m.name.c_str(), m.args.c_str(), &answer);
    SendResponseText(*link_, answer.code, answer.text, sizeof answer.text);
    return false;
  }
  if (!serverMode_.load()) SendResponseText(*link_, answer.code, answer.text, sizeof answer.text);
  Guard g(pendingLock_);
  pending_.push_back(std::move(m));
  return true;
}

void DispatchThread::Abandon(size_t bytesInFlight) {
  heldBytes_ -= bytesInFlight;
  // Nothing delivers the viewer's calls any more: the connection ends (the
  // reader sees it and wakes a waiting command with -6), and the host
  // learns it from VxIsConnectionBroken. The BrokenHandler cannot run: its
  // thread is the one that is going. The flag is raised before the link
  // closes: a command woken by the close may ask for it at once.
  SetBroken(true);
  link_->CloseData();
  Guard g(queueLock_);
  DropQueued();
}

void DispatchThread::Run() {
  // Run ends by itself only at the end of the connection. Left any other
  // way, the thread is being ended under the library by a forced unwind
  // out of a handler (an interpreter shutting down ends its threads so).
  struct Departure {
    DispatchThread* self;
    size_t bytesInFlight = 0;
    bool orderly = false;
    ~Departure() {
      if (!orderly) self->Abandon(bytesInFlight);
    }
  } departure{this};

  for (;;) {
    queueSignal_.WaitOne();
    // Everything queued is handled per wake-up: the semaphore stops counting
    // at its maximum, so a count per message cannot be relied on. A wake-up
    // that finds the queue empty just waits again.
    for (;;) {
      IncomingMessage m;
      bool broken = false;
      {
        Guard g(queueLock_);
        if (brokenQueued_) {
          // Queued calls were dropped when the end was queued.
          brokenQueued_ = false;
          broken = true;
        } else if (queue_.empty()) {
          break;
        } else {
          m = std::move(queue_.front());
          queue_.pop_front();
        }
      }
      if (broken) {
        if (BrokenHandler handler = brokenHandler_.load(); handler != nullptr) handler();
        SetBroken(true);
        departure.orderly = true;
        return;
      }
      departure.bytesInFlight = Footprint(m);
      bool kept = false;
      try {
        kept = Deliver(m);
      } catch (...) {
        plat::RethrowThreadExit();
        // No memory to keep the call for VxRecvCmd: it is lost, but the
        // thread and the connection live on.
      }
      if (!kept) heldBytes_ -= departure.bytesInFlight;
      departure.bytesInFlight = 0;
    }
  }
}

}  // namespace vxb
