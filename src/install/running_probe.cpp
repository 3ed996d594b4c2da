#include "running_probe.h"

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace vxb {

namespace {

constexpr uint32_t kPathBufferSize = 1024;

// The long form of path, upper-cased. False when it cannot be had within
// the buffer (for example because the file does not exist): such a path
// matches no process, and an empty text must not be compared.
bool Normalise(const char* path, char (&out)[kPathBufferSize]) {
  const uint32_t n = plat::LongPathName(path, out, kPathBufferSize);
  if (n == 0) return false;
  UpperCaseInPlace(out, static_cast<int>(n));
  return true;
}

}  // namespace

void UpperCaseInPlace(char* text, int n) {
  if (text == nullptr) return;
  // ASCII only, whatever locale the host has set.
  for (int i = 0; i < n; ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
  }
}

bool IsImageRunning(const char* path) {
  if (path == nullptr) return false;
  return plat::IsNtPlatform() ? FindProcessByModules(path) : FindProcessBySnapshot(path);
}

bool FindProcessByModules(const char* path) {
  if (path == nullptr) return false;
  plat::ModuleApiImpl* api = plat::ModuleApiLoad();
  if (api == nullptr) return false;
  char target[kPathBufferSize];
  uint32_t ids[plat::kMaxProcessIds];
  uint32_t count = 0;
  bool found = false;
  if (Normalise(path, target) && plat::EnumProcessIds(api, ids, &count)) {
    char image[kPathBufferSize];
    char candidate[kPathBufferSize];
    for (uint32_t i = 0; i < count && !found; ++i) {
      // System processes and other users' processes cannot be opened.
      plat::ProcessImpl* process = plat::ProcessOpen(ids[i]);
      if (process == nullptr) continue;
      found = plat::ProcessImageName(api, process, image, sizeof image) > 0 &&
              Normalise(image, candidate) && std::strcmp(candidate, target) == 0;
      plat::ProcessClose(process);
    }
  }
  plat::ModuleApiUnload(api);
  return found;
}

bool FindProcessBySnapshot(const char* path) {
  if (path == nullptr) return false;
  char target[kPathBufferSize];
  if (!Normalise(path, target)) return false;
  plat::SnapshotImpl* snapshot = plat::SnapshotTake();
  if (snapshot == nullptr) return false;
  char name[plat::kSnapshotNameSize];
  bool found = false;
  for (bool more = plat::SnapshotFirst(snapshot, name); more && !found;
       more = plat::SnapshotNext(snapshot, name)) {
    UpperCaseInPlace(name, static_cast<int>(sizeof name));
    found = std::strcmp(name, target) == 0;
  }
  plat::SnapshotClose(snapshot);
  return found;
}

}  // namespace vxb
