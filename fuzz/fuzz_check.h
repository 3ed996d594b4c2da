// What the fuzz targets share: the entry point and the invariant check.
//
// Each target is written as VXB_FUZZ_ENTRY(name) { ... }. Built for
// libFuzzer that is LLVMFuzzerTestOneInput; built for the replay test
// (VXB_FUZZ_REPLAY defined) it is VxbFuzz_<name>, so one test program holds
// every target and runs the corpus through it.
//
// VXB_CHECK(condition) states an invariant. A broken one aborts under
// libFuzzer (which then keeps the input as a crash) and throws
// vxbfuzz::BrokenInvariant in the replay test, which reports the input file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(VXB_FUZZ_REPLAY)
#define VXB_FUZZ_ENTRY(name) extern "C" int VxbFuzz_##name(const uint8_t* data, size_t size)
#else
#define VXB_FUZZ_ENTRY(name) extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#endif

namespace vxbfuzz {

struct BrokenInvariant : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  const char* base = file;
  for (const char* p = file; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  const std::string text =
      std::string(base) + ":" + std::to_string(line) + ": broken invariant: " + what;
#if defined(VXB_FUZZ_REPLAY)
  throw BrokenInvariant(text);
#else
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
#endif
}

// A failure of the harness itself (no socket, no listener): never the
// input's fault, so it ends the run in every build.
[[noreturn]] inline void SetupFailed(const char* what) {
  std::fprintf(stderr, "fuzz harness set-up failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// The input as a NUL-terminated text, cut at its first NUL as a C caller
// would see it.
inline std::string CText(const uint8_t* data, size_t size) {
  const void* nul = size == 0 ? nullptr : std::memchr(data, 0, size);
  const size_t n = nul == nullptr ? size : static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
  return std::string(reinterpret_cast<const char*>(data), n);
}

}  // namespace vxbfuzz

#define VXB_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::vxbfuzz::Fail(#condition, __FILE__, __LINE__))
