#include "install_fixture.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <random>

#include "install/install_registry.h"
#include "install/running_probe.h"
#include "platform/platform.h"
#include "test_support.h"

namespace vxtest {

namespace fs = std::filesystem;
namespace plat = vxb::plat;

static std::string SlotKey(const std::string& slot) { return std::string(vxb::kInstallKey) + "\\" + slot; }

bool WriteEntry(const std::string& slot, const Entry& entry, bool nul) {
  const std::pair<const char*, const std::optional<std::string>*> values[] = {
      {"AppName", &entry.appName}, {"Version", &entry.version}, {"Path", &entry.path},
      {"Language", &entry.language}};
  for (const auto& [name, text] : values) {
    if (*text && !StoreWrite(SlotKey(slot), name, **text + (nul ? std::string(1, '\0') : ""))) return false;
  }
  return true;
}

bool WriteTotal(uint32_t total) {
  std::string bytes;  // little-endian, as a DWORD is stored
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(total >> (8 * i));
  return StoreWrite(vxb::kInstallKey, "Total", bytes, true);
}

bool SlotExists(const std::string& slot) {
  plat::RegKeyImpl* key = plat::RegOpen(nullptr, SlotKey(slot).c_str());
  plat::RegClose(key);
  return key != nullptr;
}

std::string SwapLetterCase(const std::string& text) {
  std::string other = text;
  for (char& c : other) c = std::isalpha(static_cast<unsigned char>(c)) ? static_cast<char>(c ^ 0x20) : c;
  return other;
}

std::string OtherCaseSpelling(const std::string& path) {
  const fs::path original(path);
  const fs::path other = original.parent_path() / SwapLetterCase(original.filename().string());
  std::error_code ec;  // fails where the other spelling names the same file already
  fs::create_symlink(original.filename(), other, ec);
  return other.string();
}

void InstallTest::SetUp() {
  StoreReset();
  std::mt19937 random(std::random_device{}());
  do {
    dir_ = (fs::temp_directory_path() / ("vxb-install-" + std::to_string(random()))).string();
  } while (!fs::create_directory(dir_));
  markers_ = Join("markers");
  fs::create_directories(markers_);
  // Every fake viewer counts its start there and ends after a minute at the
  // latest, so that a failing test leaves nothing behind.
  SetEnv("VXB_FAKE_MARKER_DIR", markers_.c_str());
  SetEnv("VXB_FAKE_LIFETIME_MS", "60000");
  SetEnv("VXB_FAKE_PORT", nullptr);
  SetEnv("VXB_FAKE_DELAY_MS", nullptr);
}

void InstallTest::TearDown() {
  for (ChildProcess c : children_) StopChild(c);
  StoreCleanUp();
  // Windows keeps an executable locked for a moment after its process ended.
  WaitUntil([&] {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    return !fs::exists(dir_, ec) && !ec;
  });
}

std::string InstallTest::Join(const std::string& name) const { return (fs::path(dir_) / name).string(); }

std::string InstallTest::CopyViewer(const std::string& sub, const std::string& base) const {
  const fs::path built = fs::path(ExecutableDirectory()) / VXB_FAKE_VIEWER_FILE;
  const fs::path target = fs::path(dir_) / sub / (base + built.extension().string());
  fs::create_directories(target.parent_path());
  fs::copy_file(built, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
  return target.string();
}

ChildProcess InstallTest::Run(const std::string& path) {
  const ChildProcess c = StartChild(path);
  EXPECT_NE(c, 0) << path;
  if (c != 0) children_.push_back(c);
  EXPECT_TRUE(WaitUntil([&] { return vxb::IsImageRunning(path.c_str()); }, 20000)) << path;
  return c;
}

void InstallTest::Stop(ChildProcess child) {
  StopChild(child);
  children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

int InstallTest::Starts() const {
  std::error_code ec;
  const fs::directory_iterator it(markers_, ec);
  return static_cast<int>(std::distance(begin(it), end(it)));
}

}  // namespace vxtest
