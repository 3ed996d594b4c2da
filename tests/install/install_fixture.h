// Shared pieces of the installation and launch tests: temporary
// directories, installation entries, the fake viewer executable.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "install_env.h"

namespace vxtest {

// The key of one entry slot below HKEY_LOCAL_MACHINE.
std::string SlotKey(int slot);

struct Entry {
  std::string appName;
  std::string version;
  std::string path;
  std::string language = "eng";
};
// Writes the four values of an entry into slot, each text followed by its
// NUL as the installer writes it. Does not touch "Total".
bool WriteEntry(int slot, const Entry& entry);
bool WriteTotal(uint32_t total);
// Read back through the library's own store functions.
bool SlotExists(int slot);
bool ReadTotal(uint32_t* total);

// a-z and A-Z swapped, everything else kept.
std::string SwapLetterCase(const std::string& text);

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const;

 private:
  std::string path_;
};

// The fake viewer built next to the test executable.
std::string FakeViewerPath();
// Copies the fake viewer into dir under baseName (plus the system's
// executable suffix) and returns the copy's path.
std::string CopyFakeViewer(const std::string& dir, const std::string& baseName);
// Starts counted by the fake viewers that were given markerDir.
int CountStarts(const std::string& markerDir);

// Every test of these groups starts from an empty installation store and
// leaves nothing in it.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { StoreReset(); }
  void TearDown() override { StoreCleanUp(); }
};

}  // namespace vxtest
