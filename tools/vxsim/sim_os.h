// Thin layer over the operating system: sockets, the stop request
// (SIGINT/SIGTERM or Ctrl+C), sleeping, our own executable path and the
// installation registry. sim_os_posix.cpp and sim_os_win32.cpp implement it;
// the build compiles exactly one of them, so nothing else needs #ifdefs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxsim::os {

// Wide enough for both a POSIX descriptor and a Windows SOCKET handle.
using Socket = std::uintptr_t;
inline constexpr Socket kNoSocket = ~Socket(0);

bool startNetwork(std::string& err);
// Listens on every IPv4 interface; boundPort receives the real port (for port 0).
Socket listenTcp(std::uint16_t port, std::uint16_t& boundPort, std::string& err);
Socket acceptClient(Socket listener, std::string& err);
Socket connectTcp(const std::string& host, std::uint16_t port, std::string& err);
// 1 = readable, 0 = timed out or interrupted by a signal, -1 = error.
int waitReadable(Socket s, int timeoutMs);
// > 0 = bytes read, 0 = orderly close by the peer, -1 = error.
long receiveSome(Socket s, char* buffer, std::size_t size);
bool sendAll(Socket s, const char* data, std::size_t size, std::string& err);
void closeSocket(Socket s);
// Tells the peer that nothing more will be sent (its receive sees the end),
// while what it sends can still be received.
void shutdownSend(Socket s);

void installStopHandler();
bool stopRequested();
void sleepMs(int ms);
std::string executablePath();
// Starts this executable again with args, in the background and apart from
// our console and standard handles: its standard output and error are
// appended to outputFile, its input is empty. It outlives us.
bool startDetached(const std::vector<std::string>& args, const std::string& outputFile, std::string& err);

// Registry primitives. `key` is relative to HKEY_LOCAL_MACHINE, '\' separated.
bool regReadDword(const std::string& key, const std::string& name, std::uint32_t& value);
bool regWriteDword(const std::string& key, const std::string& name, std::uint32_t value,
                   std::string& err);
bool regWriteString(const std::string& key, const std::string& name, const std::string& value,
                    std::string& err);
// Removes the key with all its values and subkeys. A missing key is no
// error: existed tells whether there was one.
bool regDeleteKey(const std::string& key, bool& existed, std::string& err);
// Where `key` lives, for messages to the user.
std::string regDescribe(const std::string& key);

}  // namespace vxsim::os
