#include "kept_calls.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace vxb {

bool KeptCalls::Keep(IncomingMessage message, uint64_t session, bool server) {
  const size_t bytes = Footprint(message);
  Guard g(lock_);
  try {
    kept_.push_back(Kept{std::move(message), session, server});
  } catch (...) {
    plat::RethrowThreadExit();
    return false;
  }
  bytes_ += bytes;
  return true;
}

bool KeptCalls::Take(CallRecord* record) {
  Kept k;
  {
    Guard g(lock_);
    if (kept_.empty()) return false;
    if (kept_.front().server) {
      // Room for the debt first: a call taken must never lose it.
      try {
        owed_.push_back(kept_.front().session);
      } catch (...) {
        plat::RethrowThreadExit();
        return false;
      }
    }
    k = std::move(kept_.front());
    kept_.pop_front();
    bytes_ -= Footprint(k.message);
  }
  std::memset(record, k.server ? 0 : ' ', sizeof *record);
  std::memcpy(record->name, k.message.name.data(), std::min(k.message.name.size(), sizeof record->name));
  std::memcpy(record->args, k.message.args.data(), std::min(k.message.args.size(), sizeof record->args));
  return true;
}

void KeptCalls::DropOf(uint64_t session) {
  Guard g(lock_);
  for (auto it = kept_.begin(); it != kept_.end();) {
    if (it->session != session) {
      ++it;
      continue;
    }
    bytes_ -= Footprint(it->message);
    it = kept_.erase(it);
  }
}

uint64_t KeptCalls::SettleOldestOwed() {
  Guard g(lock_);
  if (owed_.empty()) return 0;
  const uint64_t session = owed_.front();
  owed_.pop_front();
  return session;
}

size_t KeptCalls::Bytes() {
  Guard g(lock_);
  return bytes_;
}

}  // namespace vxb
