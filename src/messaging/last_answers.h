// LastAnswers: the latest response as each thread sees it. A thread that
// has sent a command reads the answer of its own latest command, whatever
// other threads send meanwhile; a thread that has sent none reads the
// latest answer of the process, so a host that sends on one thread and
// reads on another keeps working.
#pragma once

#include "platform/platform.h"
#include "transport/answer.h"
#include "platform/sync.h"

namespace vxb {

class LastAnswers {
 public:
  LastAnswers();
  // Lets go of every answer still kept; no thread may use the object any
  // more.
  ~LastAnswers();
  LastAnswers(const LastAnswers&) = delete;
  LastAnswers& operator=(const LastAnswers&) = delete;

  // The calling thread's latest command ended with answer (null: without
  // a text); it is the process's latest too. Takes over the caller's hold.
  void Keep(Answer* answer) EXCLUDES(lock_);
  // A latest response of the process only (a handler's, which its own
  // session keeps for the handler). Takes over the caller's hold.
  void KeepProcessLatest(Answer* answer) EXCLUDES(lock_);
  // What the calling thread reads now, held for the caller (LetGo it);
  // null when there is no text.
  Answer* Current() EXCLUDES(lock_);

 private:
  // What one thread keeps. The records belong to this object and live until
  // it ends: a thread that ends hands its record on to the next new thread,
  // so there are never more than the most threads that sent commands at
  // one time, and nothing is left to a callback once the library is gone.
  struct Record {
    Answer* answer = nullptr;  // written and read by its thread only
    Record* nextAll = nullptr;
    Record* nextFree = nullptr;
    LastAnswers* owner = nullptr;
  };
  static void ThreadEnded(void* record);
  // The calling thread's record, made on its first command; null without
  // memory (the thread then reads the process's latest).
  Record* OwnRecord() EXCLUDES(lock_);

  plat::ThreadSlotImpl* slot_;
  Lock lock_;
  Answer* latest_ GUARDED_BY(lock_) = nullptr;
  Record* all_ GUARDED_BY(lock_) = nullptr;
  Record* free_ GUARDED_BY(lock_) = nullptr;
};

}  // namespace vxb
