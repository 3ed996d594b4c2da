// Windows side of sim_os.h: Winsock, the console Ctrl+C handler and the real
// registry under HKEY_LOCAL_MACHINE (writing there needs an elevated process).
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // RegDeleteTreeA
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "sim_os.h"

#include <climits>

namespace vxsim::os {
namespace {

volatile LONG g_stop = 0;

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    InterlockedExchange(&g_stop, 1);
    return TRUE;
  }
  return FALSE;
}

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

std::string wsaError(const std::string& what) {
  return what + ": winsock error " + std::to_string(WSAGetLastError());
}

std::string regError(const std::string& what, LONG rc) {
  return what + ": registry error " + std::to_string(rc) +
         (rc == ERROR_ACCESS_DENIED ? " (access denied, run elevated)" : "");
}

void setNoDelay(SOCKET s) {
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

bool writeValue(const std::string& key, const std::string& name, DWORD type, const BYTE* data,
                DWORD size, std::string& err) {
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &h, nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExA(h, name.c_str(), 0, type, data, size);
    RegCloseKey(h);
  }
  if (rc != ERROR_SUCCESS) err = regError("cannot write " + regDescribe(key) + "\\" + name, rc);
  return rc == ERROR_SUCCESS;
}

}  // namespace

bool startNetwork(std::string& err) {
  WSADATA data;
  const int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0) err = "WSAStartup failed: " + std::to_string(rc);
  return rc == 0;
}

Socket listenTcp(std::uint16_t port, std::uint16_t& boundPort, std::string& err) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    err = wsaError("socket");
    return kNoSocket;
  }
  // No SO_REUSEADDR here: on Windows it would let another process steal the port.
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  int len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 4) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    err = wsaError("cannot listen on port " + std::to_string(port));
    ::closesocket(s);
    return kNoSocket;
  }
  boundPort = ntohs(addr.sin_port);
  return static_cast<Socket>(s);
}

Socket acceptClient(Socket listener, std::string& err) {
  const SOCKET s = ::accept(sock(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    err = wsaError("accept");
    return kNoSocket;
  }
  setNoDelay(s);
  return static_cast<Socket>(s);
}

Socket connectTcp(const std::string& host, std::uint16_t port, std::string& err) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    err = wsaError("cannot resolve " + host);
    return kNoSocket;
  }
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const bool ok = s != INVALID_SOCKET &&
                  ::connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
  if (!ok) err = wsaError("cannot connect to " + host + ":" + std::to_string(port));
  ::freeaddrinfo(found);
  if (!ok) {
    if (s != INVALID_SOCKET) ::closesocket(s);
    return kNoSocket;
  }
  setNoDelay(s);
  return static_cast<Socket>(s);
}

int waitReadable(Socket s, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock(s), &set);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int rc = ::select(0, &set, nullptr, nullptr, &tv);
  if (rc == SOCKET_ERROR) return -1;
  return rc > 0 ? 1 : 0;
}

long receiveSome(Socket s, char* buffer, std::size_t size) {
  const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  const int n = ::recv(sock(s), buffer, chunk, 0);
  return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

bool sendAll(Socket s, const char* data, std::size_t size, std::string& err) {
  while (size > 0) {
    const int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    const int n = ::send(sock(s), data, chunk, 0);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() == WSAEINTR) continue;
      err = wsaError("send");
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void closeSocket(Socket s) {
  if (s != kNoSocket) ::closesocket(sock(s));
}

void shutdownSend(Socket s) { ::shutdown(sock(s), SD_SEND); }

namespace {

// One argument as the C runtime's command line parser reads it back.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  return out.append(2 * backslashes, '\\') + "\"";
}

}  // namespace

bool startDetached(const std::vector<std::string>& args, const std::string& outputFile, std::string& err) {
  const std::string self = executablePath();
  std::string line = quoted(self);
  for (const std::string& a : args) line += " " + quoted(a);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const HANDLE in = CreateFileA("NUL", GENERIC_READ, share, &inherit, OPEN_EXISTING, 0, nullptr);
  const HANDLE out = CreateFileA(outputFile.c_str(), FILE_APPEND_DATA, share, &inherit, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  // Only these two handles may go to the child: one of our own standard
  // handles inherited would keep a pipe of whoever started us open (a test
  // runner then waits for the child's end, not ours).
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE h = GetStdHandle(which);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = si.hStdError = out;
  PROCESS_INFORMATION pi{};
  const bool ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
                  CreateProcessA(self.c_str(), &line[0], nullptr, nullptr, TRUE,
                                 DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
  if (!ok) err = "cannot start " + self + ": error " + std::to_string(GetLastError());
  if (ok) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  return ok;
}

void installStopHandler() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

bool stopRequested() { return InterlockedCompareExchange(&g_stop, 0, 0) != 0; }

void sleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

std::string executablePath() {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return (n == 0 || n >= sizeof path) ? std::string() : std::string(path, n);
}

bool regReadDword(const std::string& key, const std::string& name, std::uint32_t& value) {
  DWORD data = 0;
  DWORD size = sizeof data;
  const LONG rc = RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_DWORD,
                               nullptr, &data, &size);
  if (rc != ERROR_SUCCESS) return false;
  value = data;
  return true;
}

bool regWriteDword(const std::string& key, const std::string& name, std::uint32_t value,
                   std::string& err) {
  const DWORD data = value;
  return writeValue(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data, err);
}

bool regWriteString(const std::string& key, const std::string& name, const std::string& value,
                    std::string& err) {
  return writeValue(key, name, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                    static_cast<DWORD>(value.size() + 1), err);
}

bool regDeleteKey(const std::string& key, bool& existed, std::string& err) {
  const LONG rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
  existed = rc != ERROR_FILE_NOT_FOUND;
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return true;
  err = regError("cannot delete " + regDescribe(key), rc);
  return false;
}

std::string regDescribe(const std::string& key) { return "HKEY_LOCAL_MACHINE\\" + key; }

}  // namespace vxsim::os
