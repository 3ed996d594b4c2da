// The running-instance probe against real processes: copies of the fake
// viewer started from temporary directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "install/running_probe.h"
#include "install_fixture.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using vxtest::WaitUntil;

TEST(UpperCaseInPlace, ChangesOnlyAsciiLettersOfTheFirstBytes) {
  char text[] = "az{`@[AZ\xE9\xFFtail";
  vxb::UpperCaseInPlace(text, 10);
  EXPECT_STREQ(text, "AZ{`@[AZ\xE9\xFFtail");
  vxb::UpperCaseInPlace(text, 11);
  EXPECT_STREQ(text, "AZ{`@[AZ\xE9\xFFTail");
  vxb::UpperCaseInPlace(text, 0);
  EXPECT_STREQ(text, "AZ{`@[AZ\xE9\xFFTail");
}

class RunningProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    // Plain sleepers: no port, no start marker.
    vxtest::SetEnv("VXB_FAKE_PORT", nullptr);
    vxtest::SetEnv("VXB_FAKE_MARKER_DIR", nullptr);
    vxtest::SetEnv("VXB_FAKE_LIFETIME_MS", "60000");
  }
  void TearDown() override {
    for (vxtest::ChildProcess* c : children_) vxtest::StopChild(c);
    vxtest::SetEnv("VXB_FAKE_LIFETIME_MS", nullptr);
  }
  // Starts path and waits until the probe sees it, so that a later "not
  // found" is not merely a process that has not come up yet.
  vxtest::ChildProcess* Run(const std::string& path) {
    vxtest::ChildProcess* c = vxtest::StartChild(path);
    if (c != nullptr) children_.push_back(c);
    EXPECT_NE(c, nullptr) << path;
    EXPECT_TRUE(WaitUntil([&] { return vxb::IsImageRunning(path.c_str()); }, 20000)) << path;
    return c;
  }
  void Stop(vxtest::ChildProcess* c) {
    vxtest::StopChild(c);
    children_.erase(std::remove(children_.begin(), children_.end(), c), children_.end());
  }

  vxtest::TempDir dir_;
  std::vector<vxtest::ChildProcess*> children_;
};

TEST_F(RunningProbe, FindsARunningExecutableByItsPath) {
  const std::string path = vxtest::CopyFakeViewer(dir_.Join("app"), "Viewer");
  EXPECT_FALSE(vxb::IsImageRunning(path.c_str()));
  vxtest::ChildProcess* c = Run(path);
  EXPECT_TRUE(vxb::FindProcessByModules(path.c_str()));
  // Also where no module list can be read (a 64-bit viewer seen from the
  // 32-bit library): the system names the image.
  vxb::plat::SetModuleListFailure(true);
  const bool foundByImageName = vxb::FindProcessByModules(path.c_str());
  vxb::plat::SetModuleListFailure(false);
  EXPECT_TRUE(foundByImageName);
  const std::string other = vxtest::OtherCaseSpelling(path);
  ASSERT_NE(other, path);
  EXPECT_TRUE(vxb::IsImageRunning(other.c_str())) << other;
  // Gone once it ended.
  Stop(c);
  EXPECT_TRUE(WaitUntil([&] { return !vxb::IsImageRunning(path.c_str()); }, 20000));
}

TEST_F(RunningProbe, CopyAtAnotherPathIsNotTheSameImage) {
  const std::string idle = vxtest::CopyFakeViewer(dir_.Join("one"), "Viewer");
  const std::string running = vxtest::CopyFakeViewer(dir_.Join("two"), "Viewer");
  Run(running);
  EXPECT_FALSE(vxb::IsImageRunning(idle.c_str()));
  EXPECT_FALSE(vxb::FindProcessByModules(idle.c_str()));
  EXPECT_TRUE(vxb::IsImageRunning(running.c_str()));
}

TEST_F(RunningProbe, MissingOrEmptyPathIsNotRunning) {
  const std::string missing = dir_.Join("Missing");
  EXPECT_FALSE(vxb::IsImageRunning(missing.c_str()));
  EXPECT_FALSE(vxb::FindProcessByModules(missing.c_str()));
  EXPECT_FALSE(vxb::FindProcessBySnapshot(missing.c_str()));
  EXPECT_FALSE(vxb::IsImageRunning(""));
  EXPECT_FALSE(vxb::FindProcessBySnapshot(""));
  EXPECT_FALSE(vxb::IsImageRunning(nullptr));
}

// The snapshot lists names as the system reports them: full paths on POSIX
// (and on the old Windows family), bare file names on Windows NT. A name
// given relative to the current directory is what both report for it.
TEST_F(RunningProbe, SnapshotFindsTheNameTheSystemReports) {
  const std::string path = vxtest::CopyFakeViewer(dir_.Join("snap"), "SnapViewer");
  const std::string idle = vxtest::CopyFakeViewer(dir_.Join("snap"), "IdleViewer");
  Run(path);
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir_.Join("snap"));
  const std::string name = std::filesystem::path(path).filename().string();
  const std::string idleName = std::filesystem::path(idle).filename().string();
  const bool found = vxb::FindProcessBySnapshot(name.c_str());
  const bool foundOtherCase = vxb::FindProcessBySnapshot(vxtest::OtherCaseSpelling(name).c_str());
  const bool foundIdle = vxb::FindProcessBySnapshot(idleName.c_str());
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
