// ReaderThread: the only reader of the connection while it is up. Answers
// wake the waiting command, calls go to the dispatcher, and the end of the
// connection goes to both.
#pragma once

#include "transport/wire_format.h"
#include "dispatch_thread.h"
#include "response_signal.h"
#include "thread_base.h"

namespace vxb {

class ReaderThread : public ThreadBase {
 public:
  ReaderThread() = default;
  ~ReaderThread() override;

  void SetResponseSignal(ResponseSignal* s) { response_ = s; }
  void SetDispatcher(DispatchThread* d) { dispatcher_ = d; }
  void SetLink(SocketLink* link) { link_ = link; }

  // Reads one message (blocking). 0, or -3 when there is no connection.
  int ReadOne(IncomingMessage& message);

 protected:
  void Run() override;

 private:
  // Puts a blank answer's block in the response slot for the body about to
  // be read (the slot's own block waits in the answer meanwhile).
  static bool LendBlock(void* self);
  // Gives the slot its own block back and hands the one lent, which holds
  // the response read, to the answer that lent it.
  Answer* TakeLent();

  ResponseSignal* response_ = nullptr;
  Answer* lent_ = nullptr;
  DispatchThread* dispatcher_ = nullptr;
  SocketLink* link_ = nullptr;
};

}  // namespace vxb
