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

}  // namespace vxsoak
