#include "held_calls.h"

#include <algorithm>

#include "platform/platform.h"

namespace vxb {

bool HeldCalls::Queue(IncomingMessage message, size_t keptBytes) {
  const size_t bytes = KeptCalls::Footprint(message);
  const size_t used = std::min(held_ + keptBytes, kMaximumHeldBytes);
  if (bytes > kMaximumHeldBytes - used) return false;
  try {
    queued_.push_back(std::move(message));
  } catch (...) {
    plat::RethrowThreadExit();
    return false;
  }
  held_ += bytes;
  return true;
}

IncomingMessage HeldCalls::TakeQueued() {
  IncomingMessage m = std::move(queued_.front());
  queued_.pop_front();
  return m;
}

void HeldCalls::DropQueued() {
  for (const IncomingMessage& m : queued_) held_ -= KeptCalls::Footprint(m);
  // The blocks themselves go, not only the count.
  std::deque<IncomingMessage>().swap(queued_);
}

}  // namespace vxb
