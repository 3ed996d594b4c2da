// ResponseSignal: hands each answer (a RET message) the reader reads to the
// command it belongs to, or tells the waiting commands that it never comes.
//
// An answer names no command: pairing is by order. At most two commands
// wait at once: one host command (host commands take turns under the
// command lock) and one command of the dispatcher thread (a handler runs
// one call at a time and its command is synchronous). Each has a place of
// its own here, with its own wake-up, and takes its place before its
// message is sent, so its answer can never arrive before it is expected.
// With both waiting, the next answer goes to the one sent first, except
// when the call whose handler sent the dispatcher's command arrived after
// the host command was sent: the viewer then called the host from inside
// the host command, and answers the handler's command first. Commands and
// incoming calls are numbered from one counter to tell which came first.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "answer.h"
#include "platform/sync.h"

namespace vxb {

class ResponseSignal {
 public:
  enum Role : int { kHostCommand = 0, kHandlerCommand = 1 };
  // Wait's result when no answer came in time.
  static constexpr int kTimedOut = 1;

  ResponseSignal() = default;
  ~ResponseSignal();
  ResponseSignal(const ResponseSignal&) = delete;
  ResponseSignal& operator=(const ResponseSignal&) = delete;

  // ---- reader side ----
  // The number of an incoming call, from the counter commands are numbered
  // with when they take their place.
  uint64_t StampCall() { return counter_.fetch_add(1) + 1; }
  // An answer to read the next RET into, held once; null without memory.
  Answer* TakeBlank() { return pool_.Take(); }
  // One RET was read and parsed into answer; the reader's hold passes on.
  void PostResponse(Answer* answer);
  // The connection ended: every waiting command returns -6, and so does
  // every command that takes its place until Reset.
  void PostBroken();

  // ---- command side ----
  // Takes the role's place before the command is sent. handledCall: the
  // number of the call whose handler sends the command (0 for a host
  // command). An answer that arrived unasked is this command's at once.
  // False when the place is taken (a second command in one role).
  bool Register(Role role, uint64_t handledCall);
  // The command was not sent after all: leaves the place. An unasked answer
  // it had been given goes back to the front of the unasked ones.
  void Withdraw(Role role);
  // Waits up to timeoutMs (plat::kInfinite: without limit) for the answer
  // of the role's registered command, then leaves the place. 0: *answer
  // holds the answer (the caller's hold). -6: the connection ended.
  // kTimedOut: no answer in time, or the wait itself failed; the connection
  // then counts as broken here (the other waiting command returns -6, later
  // answers are dropped) and the caller closes it. -10: no place taken.
  int Wait(Role role, uint32_t timeoutMs, Answer** answer);

  // A new connection: nothing of the previous one is left for it. A
  // command still waiting on the previous one returns -6.
  void Reset();

  // Answers nobody has asked for yet are kept up to this many bytes, each
  // counted by its block's real size plus kAnswerOverhead; past it the
  // oldest are dropped, so a viewer that answers far more than it is asked
  // cannot use up memory.
  static constexpr size_t kMaximumWaitingBytes = 16u << 20;
  static constexpr size_t kAnswerOverhead = 64;

 private:
  struct Place {
    bool registered = false;
    bool done = false;  // result (and answer) are set
    int result = 0;
    uint64_t number = 0;       // when the command took its place
    uint64_t handledCall = 0;  // the call its handler runs (0: host command)
    Answer* answer = nullptr;
    Semaphore wake;
  };

  // Places whose command was finished under the lock, woken once the lock
  // is released: a command woken while its waker still holds the lock would
  // at once block on it again (two more thread switches on one core). A
  // wake-up that comes late is harmless: Wait looks before it sleeps.
  class Wakes {
   public:
    Wakes() = default;
    ~Wakes() {
      for (int i = 0; i < count_; ++i) places_[i]->wake.Release();
    }
    Wakes(const Wakes&) = delete;
    Wakes& operator=(const Wakes&) = delete;
    void Add(Place* place) { places_[count_++] = place; }

   private:
    Place* places_[2] = {};
    int count_ = 0;
  };

  // Lock held for all of these.
  Place* NextInLine();
  static void Finish(Place& place, int result, Answer* answer, Wakes* wakes);
  int Leave(Place& place, Answer** answer);
  void FailWaiting(Wakes* wakes);
  Answer* PopUnasked();  // the oldest unasked answer, or null
  void DropUnasked();
  static size_t Weight(const Answer* answer) {
    return answer->block.capacity + kAnswerOverhead;
  }

  AnswerPool pool_;  // first in, last out: every answer goes back before it ends
  Lock lock_;
  std::atomic<uint64_t> counter_{0};
  Place places_[2];
  Answer* unaskedFirst_ = nullptr;
  Answer* unaskedLast_ = nullptr;
  size_t unaskedBytes_ = 0;
  bool broken_ = false;
};

}  // namespace vxb
