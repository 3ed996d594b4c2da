// What the fuzz targets share. A target is written as VXB_FUZZ_ENTRY(name):
// LLVMFuzzerTestOneInput for libFuzzer, VxbFuzz_<name> in the replay test
// (VXB_FUZZ_REPLAY), so one test program holds every target.
// VXB_CHECK(condition) states an invariant: broken, it aborts under libFuzzer
// (which keeps the input) and throws in the replay test, which names the file.
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

#define VXB_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::vxbfuzz::Fail("broken invariant: " #condition, __LINE__))

namespace vxbfuzz {

[[noreturn]] inline void Fail(const char* what, int line) {
  const std::string text = "line " + std::to_string(line) + ": " + what;
#if defined(VXB_FUZZ_REPLAY)
  throw std::runtime_error(text);
#else
  std::fprintf(stderr, "%s\n", text.c_str());
  std::abort();
#endif
}

// The input as a C caller sees it: cut at its first NUL.
inline std::string CText(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
}

inline uint32_t Le32(const uint8_t* p) {
  return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline bool Tagged(const uint8_t* data, size_t size, const char* tag) {
  return size >= 4 && std::memcmp(data, tag, 4) == 0;
}

}  // namespace vxbfuzz
