#include "held_calls.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace vxb {

bool HeldCalls::Queue(IncomingMessage message) {
  const size_t bytes = Footprint(message);
  if (bytes > kMaximumHeldBytes - std::min(held_, kMaximumHeldBytes)) return false;
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

bool HeldCalls::Keep(IncomingMessage message) {
  const size_t bytes = Footprint(message);
  try {
    kept_.push_back(std::move(message));
    return true;
  } catch (...) {
    plat::RethrowThreadExit();
    held_ -= bytes;
    return false;
  }
}

bool HeldCalls::TakeKept(CallRecord* record, bool zeroFill) {
  if (kept_.empty()) return false;
  const IncomingMessage m = std::move(kept_.front());
  kept_.pop_front();
  held_ -= Footprint(m);
  std::memset(record, zeroFill ? 0 : ' ', sizeof *record);
  std::memcpy(record->name, m.name.data(), std::min(m.name.size(), sizeof record->name));
  std::memcpy(record->args, m.args.data(), std::min(m.args.size(), sizeof record->args));
  return true;
}

void HeldCalls::DropQueued() {
  for (const IncomingMessage& m : queued_) held_ -= Footprint(m);
  queued_.clear();
}

void HeldCalls::DropKept() {
  for (const IncomingMessage& m : kept_) held_ -= Footprint(m);
  // The blocks themselves go, not only the count.
  std::deque<IncomingMessage>().swap(kept_);
}

}  // namespace vxb
