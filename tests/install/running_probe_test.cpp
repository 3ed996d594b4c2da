// The running-instance probe against copies of the fake viewer started from
// temporary directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "install/running_probe.h"
#include "install_fixture.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using RunningProbe = vxtest::InstallTest;

TEST(UpperCaseInPlace, ChangesOnlyAsciiLettersOfTheFirstBytes) {
  char text[] = "az{`@[AZ\xE9\xFFtail";
  vxb::UpperCaseInPlace(text, 10);
  EXPECT_STREQ(text, "AZ{`@[AZ\xE9\xFFtail");
  vxb::UpperCaseInPlace(text, 11);
  EXPECT_STREQ(text, "AZ{`@[AZ\xE9\xFFTail");
  vxb::UpperCaseInPlace(nullptr, 3);
}

TEST_F(RunningProbe, FindsARunningExecutableByItsPathOnly) {
  const std::string path = CopyViewer("app", "Viewer");
  const std::string copy = CopyViewer("copy", "Viewer");
  EXPECT_FALSE(vxb::IsImageRunning(path.c_str()));
  vxtest::ChildProcess* c = Run(path);
  EXPECT_TRUE(vxb::FindProcessByModules(path.c_str()));
  // Also where no module list can be read (a 64-bit viewer seen from the
  // 32-bit library): the system names the image.
  vxb::plat::SetModuleListFailure(true);
  const bool foundByImageName = vxb::FindProcessByModules(path.c_str());
  vxb::plat::SetModuleListFailure(false);
  EXPECT_TRUE(foundByImageName);
  EXPECT_TRUE(vxb::IsImageRunning(vxtest::OtherCaseSpelling(path).c_str()));
  // The same file at another path is another image.
  EXPECT_FALSE(vxb::IsImageRunning(copy.c_str()));
  EXPECT_FALSE(vxb::FindProcessByModules(copy.c_str()));
  Stop(c);
  EXPECT_TRUE(vxtest::WaitUntil([&] { return !vxb::IsImageRunning(path.c_str()); }, 20000));
}

TEST_F(RunningProbe, MissingOrEmptyPathIsNotRunning) {
  const std::string missing = Join("Missing");
  for (const char* path : {missing.c_str(), "", static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(vxb::IsImageRunning(path));
    EXPECT_FALSE(vxb::FindProcessByModules(path));
    EXPECT_FALSE(vxb::FindProcessBySnapshot(path));
  }
}

// The snapshot lists names as the system reports them: full paths on POSIX
// (and old Windows), bare file names on Windows NT. A name relative to the
// current directory is what both report for it.
TEST_F(RunningProbe, SnapshotFindsTheNameTheSystemReports) {
  const std::string path = CopyViewer("snap", "SnapViewer");
  CopyViewer("snap", "IdleViewer");
  Run(path);
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(Join("snap"));
  const std::string name = std::filesystem::path(path).filename().string();
  const std::string idle = "IdleViewer" + std::filesystem::path(path).extension().string();
  const bool found = vxb::FindProcessBySnapshot(name.c_str());
  const bool foundOtherCase = vxb::FindProcessBySnapshot(vxtest::OtherCaseSpelling(name).c_str());
  const bool foundIdle = vxb::FindProcessBySnapshot(idle.c_str());
  // Both methods release what they open.
  const int handles = vxtest::OpenHandles();
  int misses = 0;
  for (int i = 0; i < 20; ++i) {
    misses += !vxb::FindProcessBySnapshot(name.c_str()) + !vxb::FindProcessByModules(path.c_str());
  }
  EXPECT_EQ(misses, 0);
  EXPECT_LT(vxtest::OpenHandles(), handles + 10);
  std::filesystem::current_path(before);
  EXPECT_TRUE(found);
  EXPECT_TRUE(foundOtherCase);
  EXPECT_FALSE(foundIdle);
}

TEST(PlatformFamily, ReportsTheNtFamily) {
  // GetVersionExA refuses a record whose size field is wrong; a refusal
  // would send every probe to the snapshot method.
  EXPECT_TRUE(vxb::plat::IsNtPlatform());
}

}  // namespace
