// The viewer's installation entries: each installed edition is one numbered
// subkey below HKEY_LOCAL_MACHINE "SOFTWARE\Halden\Vexa" (values AppName,
// Version, Path, Language), counted by the DWORD "Total". They are read into
// an ordered set, duplicate registrations are removed from the registry on
// the way, and the installation of a wanted edition is picked.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vxb {

// The key that holds the entries, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kInstallKey = "SOFTWARE\\Halden\\Vexa";
// Bytes read of each entry value; larger values are not read at all.
inline constexpr uint32_t kInstallValueSize = 260;
// Slots looked at, at most, whatever "Total" says.
inline constexpr int32_t kMaxInstallSlots = 10000;

// One installed edition, as read from its entry subkey.
struct InstallRecord {
  int32_t index = 0;                   // slot number of the subkey
  std::string appName;                 // "AppName"
  std::array<uint8_t, 4> version{};    // "Version", most significant first
  std::string path;                    // "Path": the executable, also its command line
  std::string language;                // "Language"; kept, not used
};

// Position of an edition name in the fixed edition list (letter case
// ignored): 1 "Ferro" ... 8 "Ferro3D"; 0 for any other name.
int EditionRank(const std::string& name);

// Records of one name spelled alike go by version; others by edition rank.
// Names differing only in letter case, and any two names outside the edition
// list, are therefore equivalent whatever their versions.
struct InstallOrder {
  bool operator()(const InstallRecord& a, const InstallRecord& b) const;
};

using InstallSet = std::set<InstallRecord, InstallOrder>;
using InstallPredicate = bool (*)(const InstallRecord& wanted, const InstallRecord& candidate);

// Empties set and fills it from the registry. Of equivalent entries the one
// in the higher slot stays in the set; the subkeys of the lower slots of a
// duplicate registration (same name ignoring case, same version) are
// deleted. Nothing is reported: a missing key, "Total" or value just gives
// fewer records.
void CollectInstallations(InstallSet& set);
// Copies the first record in set order that pred accepts into wanted and
// returns true; false (wanted unchanged) when there is none.
bool FindInstallation(const InstallSet& set, InstallRecord& wanted, InstallPredicate pred);
// The predicate of the launch: the edition names are equal ignoring case.
bool SameEdition(const InstallRecord& wanted, const InstallRecord& candidate);
// The executable of the installed edition called appName: of its
// installations the first in set order, that is its lowest version. False
// (path unchanged) when the edition is not installed.
bool FindEditionImage(const char* appName, std::string& path);
// Parses four dotted numbers into record.version (each taken as atoi does,
// low 8 bits kept). False, version unchanged, unless there are four parts.
bool ParseVersion(InstallRecord& record, const char* text);
// Splits text at every occurrence of separator; an empty text gives no
// parts, and empty parts are kept.
void SplitText(const std::string& text, std::vector<std::string>& parts,
               const std::string& separator);
// Same length and equal bytes after ASCII upper-casing.
bool EqualsNoCase(const std::string& x, const std::string& y);
// Deletes the entry subkey of record.index; the outcome is ignored.
void DeleteInstallKey(const InstallRecord& record);

}  // namespace vxb
