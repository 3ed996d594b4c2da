// vxbridge_recv_placement: what decides how fast the kernel copies a large
// answer into user memory on this machine, without the library. A viewer in
// a child process answers each 14-byte command with the 1,999,999-byte
// answer in one send; the client reads it with one recv loop into one
// buffer. Varied, one thing at a time:
//   1. where the body lands: its offset from a page boundary;
//   2. where the frame starts in the viewer's send (a small frame first),
//      to tell whether the kernel's source follows the frame or the send;
//   3. how much each recv may take;
//   4. the processor's own copy of 2 MB (what the kernel's copy uses on
//      processors with fast string moves), by the offsets of source and
//      destination within a page;
//   5. new connections whose first answers land in fresh pages, untouched
//      or with one byte of each page written first.
// Medians in microseconds over interleaved rounds; everything on one CPU
// unless --unpinned. Every buffer is written once by this process after
// the viewer was forked (see table 5 for why).
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_net.h"

using namespace bench;

namespace {

constexpr uint32_t kBody = 1999999;
constexpr size_t kPage = 4096;
int g_rounds = 5;
int g_answers = 40;

// A page-aligned area with room for the largest frame anywhere in a page,
// zero-filled when made.
struct Area {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(4 * kPage + 4 + kBody);
  uint8_t* Page() {
    const auto base = reinterpret_cast<uintptr_t>(bytes.data());
    return bytes.data() + ((base + kPage - 1) / kPage * kPage - base) + kPage;
  }
};

// One connection to a child viewer that sends `before` (a small frame, or
// nothing) and the answer frame in one send for each command.
class Client {
 public:
  explicit Client(uint32_t before)
      : before_(before),
        viewer_((before > 0 ? Frame(std::string(before, 'p')) : std::string()) +
                Frame(RetMessageOfSize(kBody))),
        fd_(ConnectLoopback(viewer_.port())),
        command_(Frame("EXE Add(2,40)\n")),
        scratch_(before + 4) {}
  ~Client() { CloseFd(fd_); }

  // One round trip, the body read to `body` with receives of at most `cap`
  // bytes (0: all that is left); its time in ns.
  int64_t RoundTrip(uint8_t* body, size_t cap) {
    const int64_t t0 = NowNs();
    if (!SendAll(fd_, command_.data(), command_.size()) ||
        (before_ > 0 && !RecvAll(fd_, scratch_.data(), scratch_.size()))) {
      std::exit(2);
    }
    uint8_t* frame = body - 4;
    for (size_t have = 0; have < 4 + kBody;) {
      const size_t ask = cap == 0 ? 4 + kBody - have : std::min(cap, 4 + kBody - have);
      const ssize_t n = recv(fd_, frame + have, ask, 0);
      if (n <= 0) std::exit(2);
      have += static_cast<size_t>(n);
    }
    return NowNs() - t0;
  }

 private:
  uint32_t before_;
  ChildViewer viewer_;
  int fd_;
  std::string command_;
  std::vector<uint8_t> scratch_;
};

double Median(std::vector<int64_t> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : static_cast<double>(v[v.size() / 2]) / 1e3;
}

// Runs every variant `g_answers` times a round, in alternating order, and
// prints their medians.
void Table(const char* title, const std::vector<std::string>& names,
           const std::function<int64_t(size_t)>& once) {
  std::vector<std::vector<int64_t>> samples(names.size());
  for (int r = 0; r < g_rounds; ++r) {
    for (size_t k = 0; k < names.size(); ++k) {
      const size_t v = r % 2 == 0 ? k : names.size() - 1 - k;
      once(v);  // untimed: the caches and the connection settle
      for (int i = 0; i < g_answers; ++i) samples[v].push_back(once(v));
    }
  }
  std::printf("%s\n", title);
  for (size_t v = 0; v < names.size(); ++v) {
    std::printf("  %-44s %8.1f us\n", names[v].c_str(), Median(samples[v]));
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool pinned = true;
  int cpu = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--unpinned") {
      pinned = false;
    } else if (i + 1 < argc && (a == "--rounds" || a == "--answers" || a == "--cpu")) {
      *(a == "--rounds" ? &g_rounds : a == "--answers" ? &g_answers : &cpu) = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: vxbridge_recv_placement [--rounds N] [--answers N] [--cpu N] [--unpinned]\n");
      return 1;
    }
  }
  // The viewer processes are forked by this thread: they run where it may.
  PlaceCallingThread(pinned, cpu);
  std::printf("1,999,999-byte answer across processes, %s; medians of %d x %d\n",
              pinned ? ("all on CPU " + std::to_string(cpu)).c_str() : "unpinned", g_rounds, g_answers);

  const std::vector<uint32_t> offsets = {0, 4, 8, 16, 32, 36, 60, 64, 68, 2048, 4092};
  {
    Client c(0);
    Area area;
    std::vector<std::string> names;
    for (uint32_t o : offsets) names.push_back("body at page+" + std::to_string(o));
    Table("1. Where the body lands (each recv takes all that is left)", names,
          [&](size_t v) { return c.RoundTrip(area.Page() + offsets[v], 0); });
  }
  {
    // A 100-byte frame first: the answer's frame starts 104 bytes into the
    // send. Frame-relative placement puts its body at page+4, send-relative
    // at page+108.
    Client c(100);
    Area area;
    const uint32_t at[] = {4, 108, 0, 64};
    Table("2. The answer 104 bytes into the viewer's send",
          {"body at page+4 (as the frame)", "body at page+108 (as the send)", "body at page+0",
           "body at page+64"},
          [&](size_t v) { return c.RoundTrip(area.Page() + at[v], 0); });
  }
  {
    Client c(0);
    Area area;
    const size_t caps[] = {0, 65536, 16384, 4096, 1460};
    Table("3. How much each recv may take (body at page+4)",
          {"all that is left", "64 KB", "16 KB", "4 KB", "1460 bytes"},
          [&](size_t v) { return c.RoundTrip(area.Page() + 4, caps[v]); });
  }
  {
    Area area;
    Area to;
    const size_t pairs[][2] = {{0, 0}, {4, 4}, {18, 18}, {4, 0}, {0, 4}, {18, 0}, {0, 32}, {32, 0}, {4, 2048}};
    std::vector<std::string> names;
    for (const auto& p : pairs) {
      names.push_back("from page+" + std::to_string(p[0]) + " to page+" + std::to_string(p[1]));
    }
    Table("4. memcpy of 1,999,985 bytes in this process", names, [&](size_t v) {
      uint8_t* from = area.Page() + pairs[v][0];
      std::memset(from, static_cast<int>(v), kBody - 14);  // fresh, as a receive leaves it
      const int64_t t0 = NowNs();
      std::memcpy(to.Page() + pairs[v][1], from, kBody - 14);
      asm volatile("" : : "r"(to.Page()) : "memory");
      return NowNs() - t0;
    });
  }
  {
    // Each connection reads into a block taken from the heap after its
    // viewer was forked; "untouched" leaves the block's first writes to
    // the kernel's copy (and its page faults inside the first receives).
    std::vector<double> medians[2];
    for (int r = 0; r < 2 * g_rounds; ++r) {
      const int touched = r % 2;
      Client c(0);
      auto* block = static_cast<uint8_t*>(std::malloc(2 * kPage + 4 + kBody));
      if (block == nullptr) return 2;
      if (touched != 0) {
        for (size_t at = 0; at < 2 * kPage + 4 + kBody; at += kPage) block[at] = 0;
      }
      const auto base = reinterpret_cast<uintptr_t>(block);
      uint8_t* body = block + ((base + kPage - 1) / kPage * kPage - base) + 4;
      std::vector<int64_t> samples;
      for (int i = 0; i < 10 + g_answers; ++i) {
        const int64_t ns = c.RoundTrip(body, 0);
        if (i >= 10) samples.push_back(ns);  // after 10 untimed
      }
      medians[touched].push_back(Median(samples));
      std::free(block);
    }
    std::printf("5. A fresh block for each new connection (%d connections each)\n", g_rounds);
    const char* const names[2] = {"untouched", "one byte of each page written first"};
    for (int t = 0; t < 2; ++t) {
      std::sort(medians[t].begin(), medians[t].end());
      std::printf("  %-44s %8.1f us (connections from %.1f to %.1f)\n", names[t],
                  medians[t][medians[t].size() / 2], medians[t].front(), medians[t].back());
    }
  }
  return 0;
}
