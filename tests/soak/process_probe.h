// What the soak measures of its own process before and after each phase:
// open descriptors (handles on Windows), threads, resident memory and the
// bytes the C heap holds. One
// implementation per system, chosen by CMake (process_probe_posix.cpp,
// process_probe_win32.cpp).
#pragma once

namespace vxsoak {

struct ProcessFigures {
  long long descriptors = -1;  // open descriptors / handles; -1 unknown
  long long threads = -1;      // threads of this process; -1 unknown
  long long residentKiB = -1;  // resident set / working set; -1 unknown
  long long heapBytes = -1;    // bytes in use in the C heap; -1 unknown
};

ProcessFigures MeasureProcess();

// Threads and handles the system itself may add to the process at any
// moment, independent of the library: none on POSIX; on Windows the system
// thread pool starts (and keeps) worker threads lazily, each with a handle.
// A leak of the library grows with every cycle of a phase (hundreds), far
// past this allowance.
int SystemCountSlack();

}  // namespace vxsoak
