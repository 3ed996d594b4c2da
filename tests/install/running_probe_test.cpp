// The running-instance probe against copies of the fake viewer started from
// temporary directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#if !defined(_WIN32)
#include <unistd.h>

#include <fstream>
#include <vector>
#endif

#include "install/running_probe.h"
#include "install_fixture.h"
#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "test_support.h"

namespace {

namespace plat = vxb::plat;
using RunningProbe = vxtest::InstallTest;

TEST(UpperCaseInPlace, ChangesOnlyAsciiLettersOfTheFirstBytes) {
  char text[] = "az{`@[AZ\xE9\xFFtail";
  vxb::UpperCaseInPlace(text, 10);
  EXPECT_STREQ(text, "AZ{`@[AZ\xE9\xFFtail");
  vxb::UpperCaseInPlace(text, 11);
  EXPECT_STREQ(text, "AZ{`@[AZ\xE9\xFFTail");
  vxb::UpperCaseInPlace(nullptr, 3);
  // GetVersionExA refuses a record whose size field is wrong; a refusal
  // would send every probe to the snapshot method.
  EXPECT_TRUE(plat::IsNtPlatform());
}

TEST_F(RunningProbe, FindsARunningExecutableByItsPathOrTheNameTheSystemReports) {
  const std::string path = CopyViewer("app", "Viewer");
  const std::string copy = CopyViewer("copy", "Viewer");
  const std::string idle = CopyViewer("app", "Idle");
  const std::string missing = Join("Missing");
  for (const char* absent : {path.c_str(), missing.c_str(), "", static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(vxb::IsImageRunning(absent));
    EXPECT_FALSE(vxb::FindProcessByModules(absent));
    EXPECT_FALSE(vxb::FindProcessBySnapshot(absent));
  }
  const vxtest::ChildProcess c = Run(path);
  EXPECT_TRUE(vxb::FindProcessByModules(path.c_str()));
  // Also where no module list can be read (a 64-bit viewer seen from the
  // 32-bit library): the system names the image.
  plat::SetModuleListFailure(true);
  const bool foundByImageName = vxb::FindProcessByModules(path.c_str());
  plat::SetModuleListFailure(false);
  EXPECT_TRUE(foundByImageName);
  EXPECT_TRUE(vxb::IsImageRunning(vxtest::OtherCaseSpelling(path).c_str()));
  // The same file at another path is another image.
  EXPECT_FALSE(vxb::IsImageRunning(copy.c_str()));
  EXPECT_FALSE(vxb::FindProcessByModules(copy.c_str()));

  // The snapshot lists names as the system reports them: full paths on POSIX
  // (and old Windows), bare file names on Windows NT. A name relative to the
  // current directory is what both report for it.
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(Join("app"));
  const std::string name = std::filesystem::path(path).filename().string();
  const bool found = vxb::FindProcessBySnapshot(name.c_str());
  const bool foundOtherCase = vxb::FindProcessBySnapshot(vxtest::OtherCaseSpelling(name).c_str());
  const bool foundIdle = vxb::FindProcessBySnapshot(std::filesystem::path(idle).filename().string().c_str());
  // Both methods release what they open.
  const int handles = vxtest::OpenHandles();
  int misses = 0;
  for (int i = 0; i < 20; ++i) {
    misses += !vxb::FindProcessBySnapshot(name.c_str()) + !vxb::FindProcessByModules(path.c_str());
  }
  EXPECT_LT(vxtest::OpenHandles(), handles + 10);
  std::filesystem::current_path(before);
  EXPECT_EQ(misses, 0);
  EXPECT_TRUE(found && foundOtherCase);
  EXPECT_FALSE(foundIdle);
  Stop(c);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return !vxb::IsImageRunning(path.c_str()); }, 20000));
}

#if !defined(_WIN32)
// /proc's other names are no process ids; an image name is given whole, with
// its NUL, or not at all.
TEST(ProcessList, OnlyProcessIdsAndWholeImageNames) {
  plat::ModuleApiImpl* api = plat::ModuleApiLoad();
  std::vector<uint32_t> ids(plat::kMaxProcessIds, 0);
  uint32_t count = 0, pidMax = 0;
  std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
  ASSERT_TRUE(plat::EnumProcessIds(api, ids.data(), &count) && count > 0);
  for (uint32_t i = 0; i < count; ++i) EXPECT_TRUE(ids[i] >= 1 && ids[i] <= pidMax) << ids[i];
  plat::ProcessImpl* self = plat::ProcessOpen(static_cast<uint32_t>(::getpid()));
  char name[4096];
  const uint32_t length = plat::ProcessImageName(api, self, name, sizeof name);
  ASSERT_GT(length, 0u);
  for (const auto& [capacity, result] : {std::pair<uint32_t, uint32_t>{0, 0}, {1, 0}, {length + 1, 0}, {length + 2, length}}) {
    EXPECT_EQ(plat::ProcessImageName(api, self, name, capacity), result) << capacity;
  }
  EXPECT_EQ(plat::ProcessImageName(nullptr, self, name, sizeof name), 0u);
  EXPECT_EQ(plat::ProcessImageName(api, nullptr, name, sizeof name), 0u);
  EXPECT_EQ(plat::ProcessImageName(api, self, nullptr, sizeof name), 0u);
  plat::ProcessClose(self);
  plat::ModuleApiUnload(api);
}
#endif

}  // namespace
