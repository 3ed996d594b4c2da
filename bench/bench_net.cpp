#include "bench_net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bench {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

namespace {

void PutLength(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLength(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Splits a byte stream into frames; calls onFrame(message, length) for each
// whole one. A message stays in place until the next Pump.
class FrameReader {
 public:
  // Reads once; false at the end of the stream.
  template <typename F>
  bool Pump(int fd, F onFrame) {
    if (have_ == buf_.size()) buf_.resize(buf_.size() * 2);
    const ssize_t n = recv(fd, buf_.data() + have_, buf_.size() - have_, 0);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    have_ += static_cast<size_t>(n);
    size_t pos = 0;
    while (have_ - pos >= 4) {
      const size_t len = GetLength(buf_.data() + pos);
      if (have_ - pos < 4 + len) {
        if (4 + len > buf_.size()) buf_.resize(4 + len);
        break;
      }
      onFrame(buf_.data() + pos + 4, static_cast<uint32_t>(len));
      pos += 4 + len;
    }
    if (pos > 0) {
      std::memmove(buf_.data(), buf_.data() + pos, have_ - pos);
      have_ -= pos;
    }
    return true;
  }

 private:
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(1 << 16);
  size_t have_ = 0;
};

}  // namespace

std::string Frame(const std::string& message) {
  uint8_t prefix[4];
  PutLength(prefix, static_cast<uint32_t>(message.size()));
  return std::string(reinterpret_cast<const char*>(prefix), 4) + message;
}

std::string RetMessageOfSize(uint32_t total) {
  for (uint32_t digits = 1; digits <= 10; ++digits) {
    const uint32_t payload = total - 7 - digits;  // "RET 0," + digits + ","
    const std::string header = "RET 0," + std::to_string(payload) + ",";
    if (header.size() + payload == total) return header + std::string(payload, 'x');
  }
  return {};
}

// ---- sockets --------------------------------------------------------------

int ListenLoopback(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    std::perror("listen on 127.0.0.1");
    std::exit(2);
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

int AcceptOne(int listener) {
  int fd;
  do {
    fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) NoDelay(fd);
  return fd;
}

int ConnectLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    std::perror("connect to 127.0.0.1");
    std::exit(2);
  }
  NoDelay(fd);
  return fd;
}

bool SendAll(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool RecvAll(int fd, void* data, size_t n) {
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    const ssize_t k = recv(fd, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

// ---- the tiny viewer ------------------------------------------------------

Viewer::Viewer() { listener_ = ListenLoopback(&port_); }

Viewer::~Viewer() {
  Join();
  CloseFd(listener_);
}

void Viewer::Join() {
  if (thread_.joinable()) thread_.join();
}

void ServeAnswers(int listener, const std::string& frame) {
  const int fd = AcceptOne(listener);
  CloseFd(listener);
  FrameReader in;
  bool ok = true;
  // The answers to what one receive brought go out in one send, in the
  // order of the messages, as a server that serves a pipeline does; a
  // single one goes out from where it is, as a viewer writes from its own
  // buffer (joining it first would add a copy of the answer to every case).
  int asked = 0;
  std::string answers;
  while (ok && in.Pump(fd, [&](uint8_t*, uint32_t) { ++asked; })) {
    if (asked == 1) {
      ok = SendAll(fd, frame.data(), frame.size());
    } else if (asked > 1) {
      answers.clear();
      for (int i = 0; i < asked; ++i) answers += frame;
      ok = SendAll(fd, answers.data(), answers.size());
    }
    asked = 0;
  }
  CloseFd(fd);
}

void Viewer::Answer(std::string answerFrame) {
  const int listener = listener_;
  listener_ = -1;
  thread_ =
      std::thread([listener, frame = std::move(answerFrame)] { ServeAnswers(listener, frame); });
}

void Viewer::Call(std::string callFrame, int count, int window) {
  const int listener = listener_;
  listener_ = -1;
  thread_ = std::thread([this, listener, frame = std::move(callFrame), count, window] {
    const int fd = AcceptOne(listener);
    CloseFd(listener);
    FrameReader in;
    int sent = 0;
    started.store(NowNs());
    for (; sent < window && sent < count; ++sent) SendAll(fd, frame.data(), frame.size());
    // Every frame the host sends here is an answer to one of our calls.
    while (in.Pump(fd, [&](uint8_t*, uint32_t) {
      if (answers.fetch_add(1) + 1 == count) finished.store(NowNs());
      if (sent < count && SendAll(fd, frame.data(), frame.size())) ++sent;
    })) {
    }
    CloseFd(fd);
  });
}

ChildViewer::ChildViewer(const std::string& answerFrame) {
  const int listener = ListenLoopback(&port_);
  pid_ = fork();
  if (pid_ < 0) {
    std::perror("fork");
    std::exit(2);
  }
  if (pid_ == 0) {
    ServeAnswers(listener, answerFrame);
    _exit(0);
  }
  CloseFd(listener);
}

ChildViewer::~ChildViewer() { waitpid(pid_, nullptr, 0); }

// ---- floor A --------------------------------------------------------------

namespace {
constexpr size_t kPage = 4096;
// Room to reach a page boundary, a page before the body (for the prefix of
// a body placed at a page's start), a page to place it anywhere in, and the
// largest frame.
constexpr size_t kFloorABuffer = 3 * kPage + 4 + 2000000;
}  // namespace

FloorA::FloorA(uint16_t port) : fd_(ConnectLoopback(port)), buf_(kFloorABuffer) {
  at_ = buf_.data();
}

FloorA::~FloorA() { CloseFd(fd_); }

void FloorA::PlaceBody(uint32_t bodyOffset) {
  const auto base = reinterpret_cast<uintptr_t>(buf_.data());
  const uintptr_t page = (base + kPage - 1) / kPage * kPage + kPage;
  at_ = buf_.data() + (page - base) + bodyOffset % kPage - 4;
}

uint32_t FloorA::RoundTrip(const std::string& frame) {
  if (!SendAll(fd_, frame.data(), frame.size())) return 0;
  const size_t room = buf_.size() - static_cast<size_t>(at_ - buf_.data());
  size_t have = 0;
  size_t want = 4;
  while (have < want) {
    const ssize_t n = recv(fd_, at_ + have, room - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    have += static_cast<size_t>(n);
    if (want == 4 && have >= 4) want = 4 + GetLength(at_);
  }
  return static_cast<uint32_t>(want - 4);
}

// ---- floor B --------------------------------------------------------------

namespace plat = vxb::plat;

namespace {
void SemWait(sem_t* s) {
  while (sem_wait(s) != 0 && errno == EINTR) {
  }
}
}  // namespace

FloorB::FloorB(uint16_t port, Variant variant)
    : fd_(ConnectLoopback(port)),
      variant_(variant),
      sendLock_(plat::MutexCreate()),
      queueLock_(plat::MutexCreate()) {
  sem_init(&answerReady_, 0, 0);
  sem_init(&callReady_, 0, 0);
  Reserve(4047);  // 4048 bytes at first, as the library's receive buffers
  handler_ = std::thread([this] { HandleLoop(); });
  reader_ = std::thread([this] { variant_.bufferedReader ? BufferedReadLoop() : ReadLoop(); });
}

FloorB::~FloorB() {
  shutdown(fd_, SHUT_RDWR);
  reader_.join();
  handler_.join();
  CloseFd(fd_);
  sem_destroy(&answerReady_);
  sem_destroy(&callReady_);
  plat::MutexDestroy(sendLock_);
  plat::MutexDestroy(queueLock_);
  std::free(block_);
}

// Returns where the message (tag first) goes. The library's layout: a
// zero-filled block, the tag at its start, the body 4 bytes in. The aligned
// layout puts the tag at 60 and the body at 64 of a page-aligned block.
uint8_t* FloorB::Reserve(uint32_t length) {
  if (capacity_ < length + 1) {
    std::free(block_);
    if (variant_.alignedBody) {
      void* p = nullptr;
      if (posix_memalign(&p, 4096, length + 1 + 64) != 0) std::abort();
      std::memset(p, 0, length + 1 + 64);
      block_ = static_cast<uint8_t*>(p);
    } else {
      block_ = static_cast<uint8_t*>(std::calloc(length + 1, 1));
    }
    if (block_ == nullptr) std::abort();
    capacity_ = length + 1;
  }
  return variant_.alignedBody ? block_ + 60 : block_;
}

void FloorB::SendTwo(const void* a, size_t an, const void* b, size_t bn) {
  plat::MutexEnter(sendLock_);
  if (SendAll(fd_, a, an)) SendAll(fd_, b, bn);
  plat::MutexLeave(sendLock_);
}

void FloorB::ReadLoop() {
  for (;;) {
    uint8_t probe;
    ssize_t n;
    do {
      n = recv(fd_, &probe, 1, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) break;
    uint8_t prefix[4];
    if (!RecvAll(fd_, prefix, 4)) break;
    const uint32_t length = GetLength(prefix);
    uint8_t tag[4] = {0, 0, 0, 0};
    const uint32_t tagLength = length < 4 ? length : 4;
    if (!RecvAll(fd_, tag, tagLength)) break;
    uint8_t* m = Reserve(length);
    std::memcpy(m, tag, tagLength);
    bodyAt_ = m + tagLength;
    if (!RecvAll(fd_, m + tagLength, length - tagLength)) break;
    m[length] = 0;
    Deliver(m, length);
  }
  stop_.store(true);
  sem_post(&answerReady_);
  sem_post(&callReady_);
}

void FloorB::Deliver(uint8_t* m, uint32_t length) {
  if (length >= 4 && std::memcmp(m, "RET ", 4) == 0) {
    message_ = m;
    length_ = length;
    sem_post(&answerReady_);
  } else if (length >= 4 && std::memcmp(m, "EXE ", 4) == 0) {
    plat::MutexEnter(queueLock_);
    calls_.emplace_back(reinterpret_cast<const char*>(m), length);
    plat::MutexLeave(queueLock_);
    sem_post(&callReady_);
  }
}

void FloorB::BufferedReadLoop() {
  FrameReader in;
  while (in.Pump(fd_, [this](uint8_t* m, uint32_t length) { Deliver(m, length); })) {
  }
  stop_.store(true);
  sem_post(&answerReady_);
  sem_post(&callReady_);
}

void FloorB::HandleLoop() {
  uint8_t head[4 + 8];
  std::memcpy(head + 4, "RET 0,2,", 8);
  PutLength(head, 10);
  for (;;) {
    SemWait(&callReady_);
    if (stop_.load()) return;
    for (;;) {
      std::string call;
      plat::MutexEnter(queueLock_);
      const bool any = !calls_.empty();
      if (any) {
        call = std::move(calls_.front());
        calls_.pop_front();
      }
      plat::MutexLeave(queueLock_);
      if (!any) break;
      SendTwo(head, sizeof head, "OK", 2);
    }
  }
}

uint32_t FloorB::RoundTrip(const std::string& message) {
  uint8_t prefix[4];
  PutLength(prefix, static_cast<uint32_t>(message.size()));
  if (variant_.oneSend) {
    std::string frame(reinterpret_cast<const char*>(prefix), 4);
    frame += message;
    plat::MutexEnter(sendLock_);
    SendAll(fd_, frame.data(), frame.size());
    plat::MutexLeave(sendLock_);
  } else {
    SendTwo(prefix, 4, message.data(), message.size());
  }
  SemWait(&answerReady_);
  return stop_.load() ? 0 : length_;
}

// ---- process facts --------------------------------------------------------

void PlaceCallingThread(bool pinned, int cpu) {
  static cpu_set_t original = [] {
    cpu_set_t s;
    sched_getaffinity(0, sizeof s, &s);
    return s;
  }();
  cpu_set_t s = original;
  if (pinned) {
    CPU_ZERO(&s);
    CPU_SET(cpu, &s);
  }
  if (sched_setaffinity(0, sizeof s, &s) != 0) {
    std::perror("sched_setaffinity");
    std::exit(2);
  }
}

int ThreadsNotOnlyOn(int cpu, int* total) { return ThreadsNotOnlyOn(getpid(), cpu, total); }

int ThreadsNotOnlyOn(pid_t pid, int cpu, int* total) {
  const std::string want = std::to_string(cpu);
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  int others = 0;
  *total = 0;
  DIR* d = opendir(tasks.c_str());
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(tasks + e->d_name + "/status");
    std::string line;
    while (std::getline(f, line)) {
      if (line.rfind("Cpus_allowed_list:", 0) != 0) continue;
      ++*total;
      const size_t v = line.find_first_not_of(" \t", 18);
      if (v == std::string::npos || line.substr(v) != want) ++others;
    }
  }
  closedir(d);
  return others;
}

long ResidentKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace bench
