// DispatchThread: delivers the viewer's calls to the host, one at a time in
// arrival order, and the end of the connection to its BrokenHandler.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>

#include "vxbridge.h"
#include "transport/wire_format.h"
#include "platform/sync.h"
#include "thread_base.h"

namespace vxb {

class DispatchThread : public ThreadBase {
 public:
  // Calls the host has not taken yet (queued for the CallHandler, or kept
  // for VxRecvCmd) are held up to this many bytes, each counted with its
  // texts' blocks and kCallOverhead more. A viewer that sends calls faster
  // than the host takes them cannot use up the host's memory.
  static constexpr size_t kMaximumHeldBytes = 64u << 20;
  static constexpr size_t kCallOverhead = 64;

  DispatchThread() = default;
  ~DispatchThread() override;

  void SetLink(SocketLink* link) { link_ = link; }
  void SetServerMode(bool on) { serverMode_.store(on); }
  bool ServerMode() const { return serverMode_.load(); }

  // Starts the thread for a new connection: nothing of an earlier one is
  // left queued.
  void Start() override;

  // Queues a call. False when it cannot be held (past kMaximumHeldBytes, or
  // no memory); the connection must then end, as the viewer would wait for
  // an answer that never comes.
  bool PushCall(IncomingMessage message);
  // The end of the connection: drops every queued call; the thread ends
  // after the call that runs (if any). Needs no memory, so it is always
  // delivered.
  void PushBroken();
  // Wakes the thread for what was pushed.
  void Signal() { queueSignal_.Release(); }
  // A new handler drops the calls queued for the old one; a pending end of
  // the connection stays.
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
  static size_t Footprint(const IncomingMessage& m);
  void DropQueued();  // queue lock held
  // True when the call was kept for VxRecvCmd.
  bool Deliver(IncomingMessage& m);
  // The thread is being ended under the library (see Run).
  void Abandon(size_t bytesInFlight);

  Lock queueLock_;
  Lock pendingLock_;
  std::atomic<CallHandler> callHandler_{nullptr};
  std::atomic<BrokenHandler> brokenHandler_{nullptr};
  Semaphore queueSignal_;
  std::deque<IncomingMessage> queue_;
  bool brokenQueued_ = false;  // queue lock
  std::deque<IncomingMessage> pending_;
  std::atomic<size_t> heldBytes_{0};  // queue_, pending_ and the running call
  bool broken_ = false;
  SocketLink* link_ = nullptr;
  std::atomic<bool> serverMode_{false};
  uint64_t runningCall_ = 0;
};

}  // namespace vxb
