// The operating-system side of vxctl: child processes with captured output,
// finding and ending a process by its executable, scratch directories,
// environment variables, a few socket probes and console text. The build
// compiles exactly one of ctl_os_posix.cpp and ctl_os_win32.cpp, so the rest
// of vxctl needs no platform conditionals.
//
// Nothing here touches the library: vxctl reaches it through vxbridge.h only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxctl::os {

// ---- Child processes -------------------------------------------------------

// A pipe end we read from: a descriptor on POSIX, a HANDLE on Windows.
using PipeEnd = std::intptr_t;
inline constexpr PipeEnd kNoPipe = -1;

struct ChildStart {
  std::string program;            // full path of the executable
  std::vector<std::string> args;  // arguments after the program name
  bool captureStdout = true;      // else the child writes to our stdout
  bool captureStderr = false;     // else the child writes to our stderr
};

struct ChildProcess {
  std::intptr_t handle = -1;  // pid on POSIX, process HANDLE on Windows
  std::uint32_t pid = 0;
  PipeEnd out = kNoPipe;      // the child's stdout, when captured
  PipeEnd err = kNoPipe;      // the child's stderr, when captured
};

// Starts the program with our environment and current directory. Only the
// captured pipes and the standard handles reach the child. False, with the
// reason in err, when it cannot be started.
bool startChild(const ChildStart& what, ChildProcess& child, std::string& err);
// Blocking read of what the child wrote: > 0 bytes read, 0 at the end.
long readPipe(PipeEnd pipe, char* buffer, std::size_t size);
void closePipe(PipeEnd pipe);
// Waits up to timeoutMs for the child to end. True with its exit status
// when it ended (the child is reaped then); false while it still runs.
bool waitChild(ChildProcess& child, int timeoutMs, int& status);
// Asks the child to end (SIGTERM; Windows: TerminateProcess with status 1).
void stopChild(ChildProcess& child);
// Releases what is left of a child that has been waited for or stopped.
void releaseChild(ChildProcess& child);

// ---- Processes not started by us --------------------------------------------

// Ids of the running processes whose executable is the file at path (POSIX:
// /proc/<pid>/exe; Windows: a toolhelp snapshot, matched by the image path).
std::vector<std::uint32_t> findProcessesByImage(const std::string& path);
// Ends the process and waits up to timeoutMs for it to be gone.
bool endProcess(std::uint32_t pid, int timeoutMs);

// ---- Files, directories, environment ------------------------------------------

// Directory of the running executable, with a trailing separator.
std::string executableDir();
// What executables end with: "" or ".exe".
std::string executableSuffix();
// Creates a new, empty directory below the system's temporary directory.
bool makeScratchDir(const std::string& prefix, std::string& dir, std::string& err);
// Makes the file executable by its owner (nothing to do on Windows).
bool makeExecutable(const std::string& path, std::string& err);
std::uint32_t currentProcessId();

bool getEnv(const std::string& name, std::string& value);
bool setEnv(const std::string& name, const std::string& value);
bool unsetEnv(const std::string& name);

// ---- The installation store that VxLaunchAndConnect reads -----------------------

// POSIX: the store is the directory tree named by VXBRIDGE_REGISTRY_ROOT, so
// a private one can be set up for this process and its children: points the
// variable at dir and returns true. Windows: the store is the system
// registry, nothing is redirected, returns false.
bool redirectInstallStore(const std::string& dir);
// Undoes redirectInstallStore (restores the variable as it was).
void restoreInstallStore();
// Whether the key at path below HKEY_LOCAL_MACHINE ('\' separated) exists
// in the store in use.
bool registryKeyExists(const std::string& path);
// Deletes the key at path when it holds neither values nor subkeys.
void removeEmptyRegistryKey(const std::string& path);

// ---- Sockets ---------------------------------------------------------------------

// A loopback port on which nothing listens right now (0 when none was found).
std::uint16_t unusedTcpPort();
// True when something accepts connections on 127.0.0.1:port.
bool tcpPortAnswers(std::uint16_t port);
// True when host is an IPv4 address or a name that resolves to one (the
// library connects over IPv4).
bool nameResolves(const std::string& host);

// ---- Console and time -----------------------------------------------------------

// Prepares the console for the library's Windows-1252 texts.
void initConsole();
// Turns Windows-1252 text from the library or the viewer into what our
// console shows correctly: UTF-8 on POSIX, the bytes unchanged on Windows.
std::string consoleText(const std::string& cp1252);
// The reverse, for text typed on our command line (UTF-8 on POSIX).
std::string fromConsole(const std::string& text);
void sleepMs(int ms);

// While alive, a process that the library starts (the launched viewer,
// which gets our standard handles) writes its standard output to the file
// at outPath, or to the null device when it is empty, and its standard
// error to the null device; it gets neither of our own. A viewer outlives
// us: holding our stdout or stderr it would keep a pipe open, and whoever
// reads it (`vxctl launch 1001 | cat`) would wait for the viewer to end.
// Our own output must be flushed before; meanwhile say() writes to our
// standard error. ok() tells whether the switch took place.
class OutputsWithheld {
 public:
  explicit OutputsWithheld(const std::string& outPath = "");
  ~OutputsWithheld();
  OutputsWithheld(const OutputsWithheld&) = delete;
  OutputsWithheld& operator=(const OutputsWithheld&) = delete;
  bool ok() const { return ok_; }
  void say(const std::string& text) const;

 private:
  bool ok_ = false;
  std::intptr_t savedOut_ = -1, savedErr_ = -1;  // ours
  std::intptr_t out_ = -1, null_ = -1;            // the child's
  unsigned undo_ = 0;                             // what the destructor puts back
};

}  // namespace vxctl::os
