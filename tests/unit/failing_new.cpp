#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace {
// The calling thread's only: the test peer's thread goes on allocating.
thread_local std::size_t t_failFrom = 0;
}  // namespace

namespace vxtest {
void FailNewFrom(std::size_t bytes) { t_failFrom = bytes; }
}  // namespace vxtest

void* operator new(std::size_t n) {
  if (t_failFrom != 0 && n >= t_failFrom) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The array and nothrow forms too, so that every block is made by malloc and
// given back by free (a sanitizer checks that they pair).
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
