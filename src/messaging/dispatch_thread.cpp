#include "dispatch_thread.h"

#include <algorithm>
#include <cstring>

namespace vxb {

DispatchThread::~DispatchThread() { Wait(); }

void DispatchThread::Push(IncomingMessage message) {
  Guard g(queueLock_);
  if (message.kind == Broken) ClearQueue();
  try {
    queue_.push_back(std::move(message));
  } catch (...) {
    // Out of memory: the message is lost rather than the process.
  }
}

void DispatchThread::ClearQueue() { queue_.clear(); }

void DispatchThread::SetCallHandler(CallHandler h) {
  Guard g(queueLock_);
  if (h != callHandler_.load()) ClearQueue();
  callHandler_.store(h);
}

void DispatchThread::SetBrokenHandler(BrokenHandler h) {
  Guard g(queueLock_);
  if (h != brokenHandler_.load()) ClearQueue();
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

void DispatchThread::Deliver(const IncomingMessage& m) {
  CallAnswer answer;
  std::memset(&answer, 0, sizeof answer);
  std::memcpy(answer.text, "OK", 3);
  if (CallHandler handler = callHandler_.load(); handler != nullptr) {
    runningCall_ = m.stamp;
    handler(m.name.c_str(), m.args.c_str(), &answer);
    SendResponseText(*link_, answer.code, answer.text, sizeof answer.text);
    return;
  }
  if (!serverMode_.load()) SendResponseText(*link_, answer.code, answer.text, sizeof answer.text);
  Guard g(pendingLock_);
  pending_.push_back(m);
}

void DispatchThread::Run() {
  for (;;) {
    queueSignal_.WaitOne();
    // Everything queued is handled per wake-up: the semaphore stops counting
    // at its maximum, so a count per message cannot be relied on. A wake-up
    // that finds the queue empty just waits again.
    for (;;) {
      IncomingMessage m;
      {
        Guard g(queueLock_);
        if (queue_.empty()) break;
        m = std::move(queue_.front());
        queue_.pop_front();
      }
      if (m.kind == Broken) {
        if (BrokenHandler handler = brokenHandler_.load(); handler != nullptr) handler();
        SetBroken(true);
        Guard g(queueLock_);
        ClearQueue();
        return;
      }
      if (m.kind == Call) {
        try {
          Deliver(m);
        } catch (...) {
          // No memory to keep the call for VxRecvCmd: it is lost, but the
          // thread and the connection live on.
        }
      }
    }
  }
}

}  // namespace vxb
