#include "sim_registry.h"

#include "sim_os.h"

#include <cstdint>

namespace vxsim {

bool registerEntry(const InstallEntry& entry, int slot, int& usedSlot, std::string& err) {
  std::uint32_t total = 0;
  if (!os::regReadDword(kInstallKey, "Total", total)) total = 0;
  usedSlot = slot >= 0 ? slot : static_cast<int>(total);
  const std::string key = std::string(kInstallKey) + "\\" + std::to_string(usedSlot);
  const auto needed = static_cast<std::uint32_t>(usedSlot) + 1;
  return os::regWriteString(key, "AppName", entry.edition, err) &&
         os::regWriteString(key, "Version", entry.version, err) &&
         os::regWriteString(key, "Path", entry.path, err) &&
         os::regWriteString(key, "Language", entry.language, err) &&
         os::regWriteDword(kInstallKey, "Total", total > needed ? total : needed, err);
}

bool unregisterEntry(int slot, bool& existed, std::string& err) {
  if (slot < 0) return os::regDeleteKey(kInstallKey, existed, err);
  return os::regDeleteKey(std::string(kInstallKey) + "\\" + std::to_string(slot), existed, err);
}

}  // namespace vxsim
