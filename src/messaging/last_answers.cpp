#include "last_answers.h"

#include <new>

namespace vxb {

LastAnswers::LastAnswers() : slot_(plat::ThreadSlotCreate(&LastAnswers::ThreadEnded)) {}

LastAnswers::~LastAnswers() {
  // First the slot, so that no thread's end calls back into this object.
  plat::ThreadSlotDestroy(slot_);
  // A thread that was already ending when the slot went may still be
  // handing its record back.
  Guard g(lock_);
  while (all_ != nullptr) {
    Record* r = all_;
    all_ = r->nextAll;
    LetGo(r->answer);
    delete r;
  }
  LetGo(latest_);
}

void LastAnswers::ThreadEnded(void* record) {
  auto* r = static_cast<Record*>(record);
  LastAnswers* owner = r->owner;
  Answer* kept;
  {
    Guard g(owner->lock_);
    kept = r->answer;
    r->answer = nullptr;
    r->nextFree = owner->free_;
    owner->free_ = r;
  }
  LetGo(kept);
}

LastAnswers::Record* LastAnswers::OwnRecord() {
  if (slot_ == nullptr) return nullptr;
  if (auto* r = static_cast<Record*>(plat::ThreadSlotGet(slot_)); r != nullptr) return r;
  Record* r;
  {
    Guard g(lock_);
    if (free_ != nullptr) {
      r = free_;
      free_ = r->nextFree;
    } else {
      r = new (std::nothrow) Record;
      if (r == nullptr) return nullptr;
      r->owner = this;
      r->nextAll = all_;
      all_ = r;
    }
  }
  if (!plat::ThreadSlotSet(slot_, r)) {
    Guard g(lock_);
    r->nextFree = free_;
    free_ = r;
    return nullptr;
  }
  return r;
}

void LastAnswers::Keep(Answer* answer) {
  Answer* ownBefore = nullptr;
  if (Record* r = OwnRecord(); r != nullptr) {
    ownBefore = r->answer;
    Hold(answer);
    r->answer = answer;
  }
  LetGo(ownBefore);
  KeepProcessLatest(answer);
}

void LastAnswers::KeepProcessLatest(Answer* answer) {
  Answer* before;
  {
    Guard g(lock_);
    before = latest_;
    latest_ = answer;
  }
  LetGo(before);
}

Answer* LastAnswers::Current() {
  if (slot_ != nullptr) {
    if (auto* r = static_cast<Record*>(plat::ThreadSlotGet(slot_)); r != nullptr) {
      Hold(r->answer);
      return r->answer;
    }
  }
  Guard g(lock_);
  Hold(latest_);
  return latest_;
}

}  // namespace vxb
