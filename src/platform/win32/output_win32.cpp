// Diagnostic output on Windows.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace vxb::plat {

struct OutputImpl {
  HANDLE file;
};

namespace {

// Stands for whatever STD_ERROR_HANDLE is at the time of each write: a host
// may attach a console or redirect its standard error after we start.
OutputImpl g_standardError{nullptr};

}  // namespace

OutputImpl* OutputOpenFile(const char* path) {
  // FILE_APPEND_DATA alone: every write lands at the end, also when another
  // process appends to the same file. Others may read, write, rename or
  // delete it meanwhile (a log being rotated). The handle is not inheritable.
  const HANDLE h =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* out = new (std::nothrow) OutputImpl{h};
  if (out == nullptr) CloseHandle(h);
  return out;
}

OutputImpl* OutputStandardError() { return &g_standardError; }

bool OutputWrite(OutputImpl* out, const void* data, uint32_t size) {
  if (out == nullptr) return false;
  const HANDLE h = out == &g_standardError ? GetStdHandle(STD_ERROR_HANDLE) : out->file;
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(h, p, size, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

void OutputClose(OutputImpl* out) {
  if (out == nullptr || out == &g_standardError) return;
  CloseHandle(out->file);
  delete out;
}

}  // namespace vxb::plat
