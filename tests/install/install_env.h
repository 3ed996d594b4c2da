// What the installation tests need of the operating system beyond the
// library's own layer: writing installation entries, starting and ending
// processes of their own, the environment. One implementation per system,
// chosen by CMake (install_env_posix.cpp, install_env_win32.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace vxtest {

// ---- Installation store (below HKEY_LOCAL_MACHINE) ---------------------------

// Gives the test an empty store: on POSIX a fresh temporary directory that
// VXBRIDGE_REGISTRY_ROOT names; on Windows the real registry with
// "SOFTWARE\Halden\Vexa" deleted.
void StoreReset();
// Removes everything the test wrote to the store.
void StoreCleanUp();
bool StoreCreateKey(const std::string& key);
bool StoreWriteDword(const std::string& key, const std::string& name, uint32_t value);
// Writes bytes exactly as given as a text value (REG_SZ on Windows): include
// the NUL to write a text the way installers do.
bool StoreWriteText(const std::string& key, const std::string& name, const std::string& bytes);

// ---- Processes and environment -----------------------------------------------------

struct ChildProcess;
// Starts the program at path without arguments and without inheriting the
// test's handles. Null when it cannot be started.
ChildProcess* StartChild(const std::string& path);
// Ends the program at once, waits for it and releases what it held.
void StopChild(ChildProcess* child);

// Ended children of this process that nobody has waited for (POSIX
// zombies). Windows keeps no such processes: always 0 there.
int UnreapedChildren();

// The directory of the running test executable.
std::string ExecutableDirectory();

// Another spelling of the path to the same existing file, its file name in
// the other letter case. Windows file names ignore letter case; on POSIX a
// symbolic link of that name is made next to the file.
std::string OtherCaseSpelling(const std::string& path);

}  // namespace vxtest
