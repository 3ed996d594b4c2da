// Windows side of ctl_os.h.
#include "ctl_os.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <vector>

namespace vxctl::os {
namespace {

HANDLE asHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t fromHandle(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

std::string lastError(const std::string& what) {
  return what + ": Windows error " + std::to_string(GetLastError());
}

// Command-line quoting as the C runtime of the child splits it again.
std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') out.append(backslashes * 2 + 1, '\\');
    else out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// The long, absolute, upper-cased form of a path, for comparisons.
std::string comparablePath(const std::string& path) {
  char full[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string p = (n > 0 && n < sizeof full) ? std::string(full, n) : path;
  char longer[MAX_PATH * 2];
  n = GetLongPathNameA(p.c_str(), longer, sizeof longer);
  if (n > 0 && n < sizeof longer) p.assign(longer, n);
  for (char& c : p)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return p;
}

std::string fileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool startNetwork() {
  static bool started = false;
  if (!started) {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  return started;
}

// A pipe whose write end the child inherits; our read end stays private.
bool makePipe(HANDLE& readEnd, HANDLE& writeEnd) {
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// A standard handle of ours that the child may inherit (null when none).
HANDLE inheritableStd(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return h;
}

bool g_storeRedirected = false;

}  // namespace

// ---- Child processes -------------------------------------------------------

bool startChild(const ChildStart& what, ChildProcess& child, std::string& err) {
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  auto closeAll = [&] {
    for (HANDLE h : {outRead, outWrite, errRead, errWrite})
      if (h != nullptr) CloseHandle(h);
  };
  if ((what.captureStdout && !makePipe(outRead, outWrite)) ||
      (what.captureStderr && !makePipe(errRead, errWrite))) {
    err = lastError("CreatePipe");
    closeAll();
    return false;
  }
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inheritableStd(STD_INPUT_HANDLE);
  startup.StartupInfo.hStdOutput = what.captureStdout ? outWrite : inheritableStd(STD_OUTPUT_HANDLE);
  startup.StartupInfo.hStdError = what.captureStderr ? errWrite : inheritableStd(STD_ERROR_HANDLE);

  // Only these handles go to the child: not the library's sockets, nor the
  // pipes of other children.
  std::vector<HANDLE> handed;
  for (HANDLE h : {startup.StartupInfo.hStdInput, startup.StartupInfo.hStdOutput, startup.StartupInfo.hStdError})
    if (h != nullptr && std::find(handed.begin(), handed.end(), h) == handed.end()) handed.push_back(h);
  SIZE_T listSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
  std::vector<char> listBytes(listSize);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
  const bool listMade = listSize > 0 && InitializeProcThreadAttributeList(list, 1, 0, &listSize);
  const bool restricted = listMade && !handed.empty() &&
                          UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed.data(),
                                                    handed.size() * sizeof(HANDLE), nullptr, nullptr);

  std::string commandLine = quoteArgument(what.program);
  for (const std::string& a : what.args) commandLine += " " + quoteArgument(a);
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');

  PROCESS_INFORMATION info{};
  BOOL ok = FALSE;
  if (restricted) {
    startup.lpAttributeList = list;
    ok = CreateProcessA(what.program.c_str(), line.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, nullptr, &startup.StartupInfo, &info);
  }
  if (listMade) DeleteProcThreadAttributeList(list);
  if (!ok) {
    // Without the list (a system that refuses it): every inheritable handle goes.
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    ok = CreateProcessA(what.program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup.StartupInfo, &info);
  }
  if (!ok) {
    err = lastError("cannot start " + what.program);
    closeAll();
    return false;
  }
  CloseHandle(info.hThread);
  // Our copies of the write ends must go, or the pipes never report their end.
  if (outWrite != nullptr) CloseHandle(outWrite);
  if (errWrite != nullptr) CloseHandle(errWrite);
  child.handle = fromHandle(info.hProcess);
  child.pid = info.dwProcessId;
  child.out = outRead != nullptr ? fromHandle(outRead) : kNoPipe;
  child.err = errRead != nullptr ? fromHandle(errRead) : kNoPipe;
  return true;
}

long readPipe(PipeEnd pipe, char* buffer, std::size_t size) {
  DWORD n = 0;
  if (!ReadFile(asHandle(pipe), buffer, static_cast<DWORD>(size), &n, nullptr)) return 0;
  return static_cast<long>(n);
}

void closePipe(PipeEnd pipe) {
  if (pipe != kNoPipe) CloseHandle(asHandle(pipe));
}

bool waitChild(ChildProcess& child, int timeoutMs, int& status) {
  if (child.handle == -1) return false;
  if (WaitForSingleObject(asHandle(child.handle), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
    return false;
  DWORD code = 0;
  GetExitCodeProcess(asHandle(child.handle), &code);
  status = static_cast<int>(code);
  return true;
}

void stopChild(ChildProcess& child) {
  if (child.handle != -1) TerminateProcess(asHandle(child.handle), 1);
}

void releaseChild(ChildProcess& child) {
  if (child.handle == -1) return;
  if (WaitForSingleObject(asHandle(child.handle), 0) != WAIT_OBJECT_0) {
    TerminateProcess(asHandle(child.handle), 1);
    WaitForSingleObject(asHandle(child.handle), 5000);
  }
  CloseHandle(asHandle(child.handle));
  child.handle = -1;
}

// ---- Processes not started by us --------------------------------------------

std::vector<std::uint32_t> findProcessesByImage(const std::string& path) {
  std::vector<std::uint32_t> found;
  const std::string wanted = comparablePath(path);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    // The snapshot names the executable file only; the full image path of
    // every candidate decides.
    std::string name = entry.szExeFile;
    for (char& c : name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (fileNameOf(name) != fileNameOf(wanted)) continue;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    char image[MAX_PATH * 2];
    DWORD size = sizeof image;
    if (QueryFullProcessImageNameA(process, 0, image, &size) &&
        comparablePath(std::string(image, size)) == wanted)
      found.push_back(entry.th32ProcessID);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return found;
}

bool endProcess(std::uint32_t pid, int timeoutMs) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  const bool ended = TerminateProcess(process, 1) &&
                     WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// ---- Files, directories, environment ------------------------------------------

std::string executableDir() {
  char path[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return ".\\";
  std::string p(path, n);
  const std::size_t slash = p.find_last_of("\\/");
  return slash == std::string::npos ? ".\\" : p.substr(0, slash + 1);
}

std::string executableSuffix() { return ".exe"; }

bool makeScratchDir(const std::string& prefix, std::string& dir, std::string& err) {
  char base[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n > MAX_PATH) {
    err = lastError("GetTempPath");
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = std::string(base, n) + prefix + std::to_string(GetCurrentProcessId()) +
                                  "-" + std::to_string(GetTickCount() + static_cast<DWORD>(attempt));
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      dir = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  err = lastError("cannot create a directory in " + std::string(base, n));
  return false;
}

bool makeExecutable(const std::string&, std::string&) { return true; }

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

bool getEnv(const std::string& name, std::string& value) {
  char buffer[32768];
  const DWORD n = GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return false;
  value.assign(buffer, n);
  return true;
}

bool setEnv(const std::string& name, const std::string& value) {
  return SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0;
}

bool unsetEnv(const std::string& name) { return SetEnvironmentVariableA(name.c_str(), nullptr) != 0; }

// ---- The installation store --------------------------------------------------------

bool redirectInstallStore(const std::string&) {
  g_storeRedirected = false;
  return false;
}

void restoreInstallStore() {}

bool registryKeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void removeEmptyRegistryKey(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1, values = 1;
  const bool empty = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                      nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                     subkeys == 0 && values == 0;
  RegCloseKey(key);
  if (empty) RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

// ---- Sockets ---------------------------------------------------------------------

std::uint16_t unusedTcpPort() {
  if (!startNetwork()) return 0;
  const SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  std::uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  closesocket(s);
  return port;
}

bool tcpPortAnswers(std::uint16_t port) {
  if (!startNetwork()) return false;
  const SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool answered = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  closesocket(s);
  return answered;
}

bool nameResolves(const std::string& host) {
  if (!startNetwork()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

// ---- Console and time -----------------------------------------------------------

void initConsole() { SetConsoleOutputCP(1252); }

std::string consoleText(const std::string& cp1252) { return cp1252; }

std::string fromConsole(const std::string& text) { return text; }

void sleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

// A process started without handles of its own gets our standard handles,
// and with inheritance on, every inheritable handle of ours besides: the
// standard ones are swapped for inheritable stand-ins, and ours are made
// not inheritable until the destructor.
OutputsWithheld::OutputsWithheld(const std::string& outPath) {
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, share, &sa, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const HANDLE out = outPath.empty() ? nul
                                     : CreateFileA(outPath.c_str(), GENERIC_WRITE, share, &sa, CREATE_ALWAYS,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  null_ = nul == INVALID_HANDLE_VALUE ? -1 : fromHandle(nul);
  if (!outPath.empty() && out != INVALID_HANDLE_VALUE) out_ = fromHandle(out);
  if (nul == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) return;
  savedOut_ = fromHandle(GetStdHandle(STD_OUTPUT_HANDLE));
  savedErr_ = fromHandle(GetStdHandle(STD_ERROR_HANDLE));
  // undo_: bit 0 the standard handles, bits 1 and 2 the inherit flags of ours.
  undo_ = 1;
  DWORD flags = 0;
  if (GetHandleInformation(asHandle(savedOut_), &flags) && (flags & HANDLE_FLAG_INHERIT) != 0) undo_ |= 2;
  if (GetHandleInformation(asHandle(savedErr_), &flags) && (flags & HANDLE_FLAG_INHERIT) != 0) undo_ |= 4;
  for (std::intptr_t h : {savedOut_, savedErr_}) SetHandleInformation(asHandle(h), HANDLE_FLAG_INHERIT, 0);
  ok_ = SetStdHandle(STD_OUTPUT_HANDLE, out) && SetStdHandle(STD_ERROR_HANDLE, nul);
}

OutputsWithheld::~OutputsWithheld() {
  if (undo_ != 0) {
    SetStdHandle(STD_OUTPUT_HANDLE, asHandle(savedOut_));
    SetStdHandle(STD_ERROR_HANDLE, asHandle(savedErr_));
  }
  if (undo_ & 2) SetHandleInformation(asHandle(savedOut_), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  if (undo_ & 4) SetHandleInformation(asHandle(savedErr_), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  for (std::intptr_t h : {out_, null_})
    if (h != -1) CloseHandle(asHandle(h));
}

void OutputsWithheld::say(const std::string& text) const {
  const HANDLE h = undo_ != 0 ? asHandle(savedErr_) : GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace vxctl::os
