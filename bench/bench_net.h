// Loopback plumbing for the benchmark: sockets on 127.0.0.1, a tiny viewer
// that answers or calls, and the two floors the library is measured
// against (a raw ping-pong and the library's own design rebuilt by hand).
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace bench {

using Clock = std::chrono::steady_clock;
int64_t NowNs();

// Frame bytes: 4-byte little-endian length, then the message.
std::string Frame(const std::string& message);
// A RET message whose whole text is exactly `total` bytes long.
std::string RetMessageOfSize(uint32_t total);

// ---- sockets --------------------------------------------------------------
int ListenLoopback(uint16_t* port);  // 127.0.0.1, ephemeral port
int AcceptOne(int listener);         // blocking; TCP_NODELAY set
int ConnectLoopback(uint16_t port);  // TCP_NODELAY set
bool SendAll(int fd, const void* data, size_t n);
bool RecvAll(int fd, void* data, size_t n);
void CloseFd(int fd);

// ---- the tiny viewer ----------------------------------------------------
// Accepts one host on listener (then closes it) and answers every frame it
// receives with answerFrame (one send), until the host closes.
void ServeAnswers(int listener, const std::string& answerFrame);

// The viewer on its own thread (created by the calling thread, so it
// inherits the caller's CPU placement), serving exactly one connection.
class Viewer {
 public:
  Viewer();
  ~Viewer();
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  uint16_t port() const { return port_; }
  // ServeAnswers on the viewer's thread.
  void Answer(std::string answerFrame);
  // Sends `count` copies of `callFrame`, keeping at most `window` without an
  // answer, then waits for the host to close. started/finished: first send
  // and last answer, in NowNs time.
  void Call(std::string callFrame, int count, int window);
  void Join();

  std::atomic<int64_t> started{0};
  std::atomic<int64_t> finished{0};
  std::atomic<int> answers{0};

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// The viewer in a process of its own: forked by the calling thread (so it
// may run where that thread may at the time), serving one connection with
// ServeAnswers. The destructor waits for it; the host closes first.
class ChildViewer {
 public:
  explicit ChildViewer(const std::string& answerFrame);
  ~ChildViewer();
  ChildViewer(const ChildViewer&) = delete;
  ChildViewer& operator=(const ChildViewer&) = delete;
  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }

 private:
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// ---- floor A: raw ping-pong, one send per frame, one thread -------------
class FloorA {
 public:
  explicit FloorA(uint16_t port);
  ~FloorA();
  // Sends the frame, reads one whole answer frame with one recv loop into
  // one buffer; returns the answer's message length (0 on failure).
  uint32_t RoundTrip(const std::string& frame);
  // From now on the answer is read into a page-aligned block, placed so
  // that its message (after the 4-byte prefix) begins bodyOffset bytes past
  // a page boundary (before the first call: where a vector puts it).
  void PlaceBody(uint32_t bodyOffset);
  const uint8_t* Body() const { return at_ + 4; }

 private:
  int fd_;
  std::vector<uint8_t> buf_;
  uint8_t* at_;  // where the answer frame goes
};

// ---- floor B: the library's design without the library ----------------
// Prefix and message in two sends under a lock; a reader thread that peeks
// one byte, reads the 4-byte length, reads the 4-byte tag, then reads the
// body into a growable buffer and releases a counting semaphore (a POSIX
// sem_t, as the design's Win32 semaphore) for the waiting command. Calls
// (EXE) go through a queue and a second semaphore to a handler thread that
// answers "RET 0,2,OK" in two sends, as the library's dispatcher does.
class FloorB {
 public:
  struct Variant {
    // The body lands on a 64-byte boundary instead of 4 bytes after the
    // start of a calloc'd block (the library's layout).
    bool alignedBody = false;
    // Prefix and message leave in one send.
    bool oneSend = false;
    // The reader takes whatever has arrived in one receive and splits the
    // frames itself (for small answers only: the buffer is reused at once).
    bool bufferedReader = false;
  };
  FloorB(uint16_t port, Variant variant);
  ~FloorB();
  // Sends one command (prefix, then message), waits for its answer.
  // Returns the answer's message length (0 on failure).
  uint32_t RoundTrip(const std::string& message);
  const uint8_t* Message() const { return message_; }
  const uint8_t* BodyDestination() const { return bodyAt_; }

 private:
  void ReadLoop();
  void BufferedReadLoop();
  void Deliver(uint8_t* message, uint32_t length);
  void HandleLoop();
  void SendTwo(const void* a, size_t an, const void* b, size_t bn);
  uint8_t* Reserve(uint32_t length);

  int fd_;
  Variant variant_;
  sem_t answerReady_;
  sem_t callReady_;
  vxb::plat::MutexImpl* sendLock_;
  vxb::plat::MutexImpl* queueLock_;
  std::deque<std::string> calls_;
  std::atomic<bool> stop_{false};
  uint8_t* block_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t length_ = 0;
  const uint8_t* message_ = nullptr;
  const uint8_t* bodyAt_ = nullptr;
  std::thread reader_;
  std::thread handler_;
};

// ---- process facts ------------------------------------------------------
// Places the calling thread (and so every thread it creates afterwards) on
// one CPU, or back on the CPUs the process started with.
void PlaceCallingThread(bool pinned, int cpu);
// Number of this process's threads, and how many of them may run on any
// CPU other than `cpu` (0 when everything is pinned there).
int ThreadsNotOnlyOn(int cpu, int* total);
// The same for the threads of another process.
int ThreadsNotOnlyOn(pid_t pid, int cpu, int* total);
long ResidentKb();

// ---- optional: REQ/REP round trips (bench_zmq.cpp, when libzmq is found) -
// onReady runs once every thread of both sides exists.
bool ZmqRoundTrips(const std::string& request, const std::string& reply, int warm, int n,
                   std::vector<int64_t>* samples, const std::function<void()>& onReady);

}  // namespace bench
