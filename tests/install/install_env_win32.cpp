#include <windows.h>

#include <filesystem>
#include <string>

#include "install_fixture.h"

namespace vxtest {

constexpr const char* kVendorKey = "SOFTWARE\\Halden";
constexpr const char* kProductKey = "SOFTWARE\\Halden\\Vexa";

void StoreReset() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProductKey); }

void StoreCleanUp() {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProductKey);
  // The vendor key was made for the product key; it goes only when empty.
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kVendorKey);
}

bool StoreWrite(const std::string& key, const std::string& name, const std::string& bytes,
                bool dword) {
  HKEY h = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG rc = RegSetValueExA(h, name.c_str(), 0, dword ? REG_DWORD : REG_SZ,
                                 reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(h);
  return rc == ERROR_SUCCESS;
}

ChildProcess StartChild(const std::string& path) {
  std::string commandLine = "\"" + path + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    return 0;
  }
  CloseHandle(info.hThread);
  return reinterpret_cast<ChildProcess>(info.hProcess);
}

void StopChild(ChildProcess child) {
  if (child == 0) return;
  const HANDLE process = reinterpret_cast<HANDLE>(child);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
}

bool HasUnreapedChild() { return false; }

std::string ExecutableDirectory() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::filesystem::path(std::string(path, n)).parent_path().string();
}

}  // namespace vxtest
