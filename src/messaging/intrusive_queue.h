// IntrusiveQueue: a first-in-first-out list of objects that carry their own
// `next` link, so that queueing allocates nothing (the waiting commands, the
// answers nobody asked for yet, the messages waiting to be written). Not
// locked: its owner keeps it under its lock.
#pragma once

namespace vxb {

template <typename T>
class IntrusiveQueue {
 public:
  bool Empty() const { return first_ == nullptr; }
  T* Front() const { return first_; }
  void PushBack(T* item) {
    item->next = nullptr;
    if (last_ != nullptr) {
      last_->next = item;
    } else {
      first_ = item;
    }
    last_ = item;
  }
  // The oldest item, unlinked; null when the queue is empty.
  T* PopFront() {
    T* item = first_;
    if (item == nullptr) return nullptr;
    first_ = item->next;
    if (first_ == nullptr) last_ = nullptr;
    item->next = nullptr;
    return item;
  }
  // Takes item out from wherever it is; false when it is not queued.
  bool Remove(T* item) {
    T* before = nullptr;
    for (T* at = first_; at != nullptr; before = at, at = at->next) {
      if (at != item) continue;
      (before != nullptr ? before->next : first_) = at->next;
      if (last_ == at) last_ = before;
      at->next = nullptr;
      return true;
    }
    return false;
  }

 private:
  T* first_ = nullptr;
  T* last_ = nullptr;
};

}  // namespace vxb
