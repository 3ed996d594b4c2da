#include "install_fixture.h"

#include <filesystem>
#include <random>

#include "install/install_registry.h"
#include "platform/platform.h"

namespace vxtest {

namespace fs = std::filesystem;
namespace plat = vxb::plat;

std::string SlotKey(int slot) { return std::string(vxb::kInstallKey) + "\\" + std::to_string(slot); }

bool WriteEntry(int slot, const Entry& entry) {
  const std::string key = SlotKey(slot);
  const std::string nul(1, '\0');
  return StoreWriteText(key, "AppName", entry.appName + nul) &&
         StoreWriteText(key, "Version", entry.version + nul) &&
         StoreWriteText(key, "Path", entry.path + nul) &&
         StoreWriteText(key, "Language", entry.language + nul);
}

bool WriteTotal(uint32_t total) { return StoreWriteDword(vxb::kInstallKey, "Total", total); }

bool SlotExists(int slot) {
  plat::RegKeyImpl* key = plat::RegOpen(nullptr, SlotKey(slot).c_str());
  plat::RegClose(key);
  return key != nullptr;
}

bool ReadTotal(uint32_t* total) {
  plat::RegKeyImpl* key = plat::RegOpen(nullptr, vxb::kInstallKey);
  if (key == nullptr) return false;
  uint8_t bytes[4] = {0, 0, 0, 0};
  uint32_t size = sizeof bytes;
  const bool ok = plat::RegQuery(key, "Total", bytes, &size) && size == 4;
  plat::RegClose(key);
  *total = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  return ok;
}

std::string SwapLetterCase(const std::string& text) {
  std::string other = text;
  for (char& c : other) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return other;
}

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937 random(seed());
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    const fs::path candidate = base / ("vxb-install-" + std::to_string(random()));
    if (fs::create_directory(candidate)) {
      path_ = candidate.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  // Windows keeps an executable locked for a moment after its process has
  // ended; give it a few seconds before giving up.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::error_code ec;
    fs::remove_all(path_, ec);
    if (!ec && !fs::exists(path_, ec)) return;
    plat::SleepMs(50);
  }
}

std::string TempDir::Join(const std::string& name) const { return (fs::path(path_) / name).string(); }

std::string FakeViewerPath() {
  return (fs::path(ExecutableDirectory()) / VXB_FAKE_VIEWER_FILE).string();
}

std::string CopyFakeViewer(const std::string& dir, const std::string& baseName) {
  const fs::path target =
      fs::path(dir) / (baseName + fs::path(VXB_FAKE_VIEWER_FILE).extension().string());
  fs::create_directories(target.parent_path());
  fs::copy_file(FakeViewerPath(), target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
  return target.string();
}

int CountStarts(const std::string& markerDir) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(markerDir, ec)) {
    if (e.path().filename().string().rfind("started-", 0) == 0) ++n;
  }
  return n;
}


}  // namespace vxtest
