// Makes the global operator new of the unit tests fail, as it does when the
// heap is used up: the standard library's allocations in the library (its
// queues, its joined sends) cannot be made to fail any other way.
#pragma once

#include <cstddef>

namespace vxtest {

// From now on every operator new of at least `bytes` on the calling thread
// throws std::bad_alloc (0: none does).
void FailNewFrom(std::size_t bytes);

}  // namespace vxtest
