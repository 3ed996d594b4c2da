// Registry, process list and process start on Windows.
//
// The process status functions come from "psapi.dll", loaded by name at run
// time: the DLL imports nothing beyond KERNEL32, WS2_32, ADVAPI32 and the C
// runtime, and a system without psapi.dll only loses the module method.
#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <new>

#include "platform/fault_injection.h"
#include "platform/platform.h"

namespace vxb::plat {

namespace {

using EnumProcessesFn = BOOL(WINAPI*)(DWORD* ids, DWORD bytes, DWORD* bytesReturned);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE process, HMODULE* modules, DWORD bytes,
                                           DWORD* bytesNeeded);
using GetModuleFileNameExAFn = DWORD(WINAPI*)(HANDLE process, HMODULE module, LPSTR name,
                                              DWORD size);

// GetProcAddress hands out a generic function pointer; going through
// void(*)() converts it to the real signature without a cast warning.
template <typename Fn>
Fn LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

// ---- Registry -------------------------------------------------------------------

struct RegKeyImpl {
  HKEY h;
};

RegKeyImpl* RegOpen(RegKeyImpl* parent, const char* path) {
  if (path == nullptr) return nullptr;
  HKEY h = nullptr;
  if (RegOpenKeyA(parent != nullptr ? parent->h : HKEY_LOCAL_MACHINE, path, &h) != ERROR_SUCCESS) {
    return nullptr;
  }
  auto* key = new (std::nothrow) RegKeyImpl{h};
  if (key == nullptr) RegCloseKey(h);
  return key;
}

void RegClose(RegKeyImpl* key) {
  if (key == nullptr) return;
  RegCloseKey(key->h);
  delete key;
}

bool RegQuery(RegKeyImpl* key, const char* name, void* buffer, uint32_t* size) {
  if (key == nullptr || buffer == nullptr || size == nullptr) return false;
  DWORD bytes = *size;
  if (RegQueryValueExA(key->h, name, nullptr, nullptr, static_cast<BYTE*>(buffer), &bytes) !=
      ERROR_SUCCESS) {
    return false;
  }
  *size = bytes;
  return true;
}

bool RegDeleteKeyPath(const char* path) {
  return path != nullptr && RegDeleteKeyA(HKEY_LOCAL_MACHINE, path) == ERROR_SUCCESS;
}

// ---- Platform family and paths ----------------------------------------------------

bool IsNtPlatform() {
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");
  info.dwOSVersionInfoSize = sizeof info;
  return GetVersionExA(&info) != 0 && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

uint32_t LongPathName(const char* path, char* buffer, uint32_t capacity) {
  if (path == nullptr || buffer == nullptr || capacity == 0) return 0;
  // On a buffer too small the call returns the size it would need, which
  // is at least the capacity.
  const DWORD n = GetLongPathNameA(path, buffer, capacity);
  return (n == 0 || n >= capacity) ? 0 : static_cast<uint32_t>(n);
}

// ---- Process list, module method ----------------------------------------------------

struct ModuleApiImpl {
  HMODULE library;
  EnumProcessesFn enumProcesses;
  EnumProcessModulesFn enumProcessModules;
  GetModuleFileNameExAFn getModuleFileNameEx;
};

ModuleApiImpl* ModuleApiLoad() {
  HMODULE library = LoadLibraryA("psapi.dll");
  if (library == nullptr) return nullptr;
  const auto enumProcesses = LookUp<EnumProcessesFn>(library, "EnumProcesses");
  const auto enumProcessModules = LookUp<EnumProcessModulesFn>(library, "EnumProcessModules");
  const auto getModuleFileNameEx = LookUp<GetModuleFileNameExAFn>(library, "GetModuleFileNameExA");
  ModuleApiImpl* api = nullptr;
  if (enumProcesses != nullptr && enumProcessModules != nullptr && getModuleFileNameEx != nullptr) {
    api = new (std::nothrow)
        ModuleApiImpl{library, enumProcesses, enumProcessModules, getModuleFileNameEx};
  }
  if (api == nullptr) FreeLibrary(library);
  return api;
}

void ModuleApiUnload(ModuleApiImpl* api) {
  if (api == nullptr) return;
  FreeLibrary(api->library);
  delete api;
}

bool EnumProcessIds(ModuleApiImpl* api, uint32_t* ids, uint32_t* count) {
  if (api == nullptr || ids == nullptr || count == nullptr) return false;
  DWORD list[kMaxProcessIds];
  DWORD bytes = 0;
  if (!api->enumProcesses(list, sizeof list, &bytes)) return false;
  DWORD n = bytes / sizeof(DWORD);
  if (n > kMaxProcessIds) n = kMaxProcessIds;
  for (DWORD i = 0; i < n; ++i) ids[i] = static_cast<uint32_t>(list[i]);
  *count = static_cast<uint32_t>(n);
  return true;
}

struct ProcessImpl {
  HANDLE h;
};

ProcessImpl* ProcessOpen(uint32_t id) {
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
  // A process that keeps its memory from us (for instance one running
  // elevated) still tells its image name to the limited right.
  if (h == nullptr) h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (h == nullptr) return nullptr;
  auto* process = new (std::nothrow) ProcessImpl{h};
  if (process == nullptr) CloseHandle(h);
  return process;
}

void ProcessClose(ProcessImpl* process) {
  if (process == nullptr) return;
  CloseHandle(process->h);
  delete process;
}

uint32_t ProcessImageName(ModuleApiImpl* api, ProcessImpl* process, char* buffer,
                          uint32_t capacity) {
  if (api == nullptr || process == nullptr || buffer == nullptr || capacity < 2) return 0;
  // Room for exactly one module: the first one is the executable.
  HMODULE first = nullptr;
  DWORD needed = 0;
  if (!ModuleListShouldFail() &&
      api->enumProcessModules(process->h, &first, sizeof first, &needed)) {
    const DWORD n = api->getModuleFileNameEx(process->h, first, buffer, capacity);
    // A name that filled the buffer may have been cut short.
    if (n == 0 || n >= capacity - 1) return 0;
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
  }
  // A 32-bit process cannot read the module list of a 64-bit one (nor can
  // the limited right): the system names the image itself then.
  DWORD size = capacity;
  if (!QueryFullProcessImageNameA(process->h, 0, buffer, &size) || size >= capacity - 1) return 0;
  buffer[size] = '\0';
  return static_cast<uint32_t>(size);
}

// ---- Process list, snapshot method ----------------------------------------------------

struct SnapshotImpl {
  HANDLE h;
};

SnapshotImpl* SnapshotTake() {
  HANDLE h = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* snapshot = new (std::nothrow) SnapshotImpl{h};
  if (snapshot == nullptr) CloseHandle(h);
  return snapshot;
}

void SnapshotClose(SnapshotImpl* snapshot) {
  if (snapshot == nullptr) return;
  CloseHandle(snapshot->h);
  delete snapshot;
}

namespace {

static_assert(sizeof(PROCESSENTRY32::szExeFile) == kSnapshotNameSize, "executable-name field");
// 296 bytes in a 32-bit process; a 64-bit process needs its own, larger
// record size, or the toolhelp calls refuse the record.
static_assert(sizeof(void*) != 4 || sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32 size");

bool SnapshotStep(SnapshotImpl* snapshot, char (&name)[kSnapshotNameSize], bool first) {
  if (snapshot == nullptr) return false;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  const BOOL ok = first ? Process32First(snapshot->h, &entry) : Process32Next(snapshot->h, &entry);
  if (!ok) return false;
  std::memcpy(name, entry.szExeFile, kSnapshotNameSize);
  name[kSnapshotNameSize - 1] = '\0';
  return true;
}

}  // namespace

bool SnapshotFirst(SnapshotImpl* snapshot, char (&name)[kSnapshotNameSize]) {
  return SnapshotStep(snapshot, name, true);
}

bool SnapshotNext(SnapshotImpl* snapshot, char (&name)[kSnapshotNameSize]) {
  return SnapshotStep(snapshot, name, false);
}

// ---- Process start ----------------------------------------------------------------------

bool StartProcess(const char* path) {
  if (path == nullptr) return false;
  // The file to start is named apart from the command line: a command line
  // alone is split at its first blank, so "C:\Program Files\..." would
  // start C:\Program.exe where one exists. The command line names the
  // program again, quoted (a path holds no quotes), as programs expect
  // their first argument. CreateProcessA may write into it.
  const size_t len = std::strlen(path);
  char* commandLine = new (std::nothrow) char[len + 3];
  if (commandLine == nullptr) return false;
  commandLine[0] = '"';
  std::memcpy(commandLine + 1, path, len);
  commandLine[len + 1] = '"';
  commandLine[len + 2] = '\0';
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  const BOOL ok = CreateProcessA(path, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info);
  delete[] commandLine;
  if (!ok) return false;
  // The library never waits for or ends the viewer: its handles are of no
  // use, and kept open they would pin the process object until unload.
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

}  // namespace vxb::plat
