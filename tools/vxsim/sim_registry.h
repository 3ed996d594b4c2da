// Installation entries as the viewer's installer leaves them: under
// SOFTWARE\Halden\Vexa a DWORD "Total" (number of slots) and one numbered
// subkey per installation holding AppName, Version, Path and Language.
#pragma once

#include <string>

namespace vxsim {

inline constexpr const char* kInstallKey = "SOFTWARE\\Halden\\Vexa";

struct InstallEntry {
  std::string edition;   // "AppName"
  std::string version;   // four dotted numbers
  std::string path;      // full path of the viewer executable
  std::string language;  // "eng", "spa" or "cat"
};

// Writes `entry` into `slot` (-1 = append after the last slot) and raises
// Total so the slot is counted. usedSlot receives the slot written.
bool registerEntry(const InstallEntry& entry, int slot, int& usedSlot, std::string& err);

// Removes one slot, leaving Total as it is (a gap hosts must cope with),
// or, with slot -1, the whole key including Total. existed tells whether
// there was anything to remove.
bool unregisterEntry(int slot, bool& existed, std::string& err);

}  // namespace vxsim
