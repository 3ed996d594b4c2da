// DispatchThread: delivers the viewer's calls to the host, one at a time in
// arrival order, and the end of the connection to its BrokenHandler.
#pragma once

#include <atomic>
#include <deque>

#include "../../include/vxbridge.h"
#include "../transport/wire_format.h"
#include "sync.h"
#include "thread_base.h"

namespace vxb {

class DispatchThread : public ThreadBase {
 public:
  DispatchThread() = default;
  ~DispatchThread() override;

  void SetLink(SocketLink* link) { link_ = link; }
  void SetServerMode(bool on) { serverMode_.store(on); }
  bool ServerMode() const { return serverMode_.load(); }

  // Queues a message; a Broken message first drops every queued call. The
  // caller then releases the queue semaphore (Signal).
  void Push(IncomingMessage message);
  void Signal() { queueSignal_.Release(); }
  void SetCallHandler(CallHandler h);
  void SetBrokenHandler(BrokenHandler h);

  // Takes the oldest pending call into record, cut to the record's fields;
  // the rest of each field is 0 in server mode, spaces in client mode.
  bool TakePending(CallRecord* record);
  void SetBroken(bool value);
  bool TakeBroken();
  // The number of the call whose handler runs (for the handler's own
  // commands); read on the dispatcher thread only.
  uint64_t RunningCall() const { return runningCall_; }

 protected:
  void Run() override;

 private:
  void ClearQueue();  // queue lock held
  void Deliver(const IncomingMessage& m);

  Lock queueLock_;
  Lock pendingLock_;
  std::atomic<CallHandler> callHandler_{nullptr};
  std::atomic<BrokenHandler> brokenHandler_{nullptr};
  Semaphore queueSignal_;
  std::deque<IncomingMessage> queue_;
  std::deque<IncomingMessage> pending_;
  bool broken_ = false;
  SocketLink* link_ = nullptr;
  std::atomic<bool> serverMode_{false};
  uint64_t runningCall_ = 0;
};

}  // namespace vxb
