// The installation and launch tests' one fixture: an empty installation
// store, a temporary directory, fake viewers started and stopped. What needs
// the operating system is in install_env_posix.cpp / install_env_win32.cpp.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vxtest {

// ---- Per system ------------------------------------------------------------------

// POSIX: a fresh directory store named by VXBRIDGE_REGISTRY_ROOT; Windows:
// the real registry with the product key deleted.
void StoreReset();
void StoreCleanUp();
// Writes bytes exactly as given, as a DWORD or a text (REG_SZ) value.
bool StoreWrite(const std::string& key, const std::string& name, const std::string& bytes, bool dword = false);

// A started child: a process id (POSIX) or process handle (Windows); 0 none.
using ChildProcess = intptr_t;
// Starts path without arguments or inherited handles; 0 on failure.
ChildProcess StartChild(const std::string& path);
// Kills the child, waits for it and releases it.
void StopChild(ChildProcess child);
// An ended child nobody waited for (a POSIX zombie; never on Windows).
bool HasUnreapedChild();
std::string ExecutableDirectory();

// ---- Shared ------------------------------------------------------------------------

// A value left as nullopt is not written at all.
struct Entry {
  std::optional<std::string> appName, version, path, language = std::string("eng");
};
// Writes the values of an entry, each text followed by its NUL as the
// installer writes it (nul false: without). Does not touch "Total".
bool WriteEntry(const std::string& slot, const Entry& entry, bool nul = true);
bool WriteTotal(uint32_t total);
bool SlotExists(const std::string& slot);
// a-z and A-Z swapped, everything else kept.
std::string SwapLetterCase(const std::string& text);
// The same existing file with its file name in the other letter case (where
// file names tell letter case apart, a symbolic link of that name is made).
std::string OtherCaseSpelling(const std::string& path);

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A copy of the fake viewer at dir/<sub>/<base> plus the executable suffix.
  std::string CopyViewer(const std::string& sub, const std::string& base) const;
  std::string Join(const std::string& name) const;
  // Starts path and waits until the probe sees it running.
  ChildProcess Run(const std::string& path);
  void Stop(ChildProcess child);
  // Starts counted by the fake viewers (each makes a "started-N" directory).
  int Starts() const;

  std::string dir_;  // removed with all it holds at the end
  std::string markers_;
  std::vector<ChildProcess> children_;
};

}  // namespace vxtest
