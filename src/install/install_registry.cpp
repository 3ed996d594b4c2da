#include "install_registry.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace vxb {

namespace {

// ASCII only: the host may have set a locale in which toupper also maps
// bytes above 127, and edition names must compare the same everywhere.
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

constexpr const char* kEditions[] = {"Ferro", "Kestrel", "Amber",  "Cobalt",
                                     "Jasper", "Indigo", "Garnet", "Ferro3D"};

// The same name ignoring letter case and the same version: the installer
// registered one installation twice.
bool IsDuplicateRegistration(const InstallRecord& a, const InstallRecord& b) {
  return EqualsNoCase(a.appName, b.appName) && a.version == b.version;
}

// Closes a registry key however the scope is left.
class KeyHandle {
 public:
  explicit KeyHandle(plat::RegKeyImpl* key) : key_(key) {}
  ~KeyHandle() { plat::RegClose(key_); }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  plat::RegKeyImpl* get() const { return key_; }

 private:
  plat::RegKeyImpl* key_;
};

// Reads one entry value as text. The buffer has one byte more than is
// offered to the registry, so the text ends within it even when the stored
// data filled all 260 bytes without a terminator.
bool QueryText(plat::RegKeyImpl* key, const char* name, char (&text)[kInstallValueSize + 1]) {
  std::memset(text, 0, sizeof text);
  uint32_t size = kInstallValueSize;
  return plat::RegQuery(key, name, text, &size);
}

// Puts a read record into the set; an equivalent record already there is
// replaced by it, all five fields.
void InsertReplacing(InstallSet& set, const InstallRecord& work) {
  auto placed = set.insert(work);
  if (placed.second) return;
  // Only a true duplicate registration loses its subkey. Equivalent records
  // of different versions or differently named editions are distinct
  // installations that merely share a place in the order; their entries
  // stay for the installer to manage.
  if (IsDuplicateRegistration(*placed.first, work)) DeleteInstallKey(*placed.first);
  // Set elements cannot be assigned in place; the replacement is equivalent,
  // so it goes back into the place of the one it replaces.
  const auto next = set.erase(placed.first);
  set.insert(next, work);
}

}  // namespace

int EditionRank(const std::string& name) {
  for (int i = 0; i < static_cast<int>(sizeof kEditions / sizeof kEditions[0]); ++i) {
    if (EqualsNoCase(name, kEditions[i])) return i + 1;
  }
  return 0;
}

bool InstallOrder::operator()(const InstallRecord& a, const InstallRecord& b) const {
  // std::array compares its uint8_t numbers one by one from the first, as
  // unsigned values: 1.2.0.0 comes before 1.10.0.0.
  if (a.appName == b.appName) return a.version < b.version;
  return EditionRank(a.appName) < EditionRank(b.appName);
}

bool EqualsNoCase(const std::string& x, const std::string& y) {
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (UpperAscii(x[i]) != UpperAscii(y[i])) return false;
  }
  return true;
}

void SplitText(const std::string& text, std::vector<std::string>& parts,
               const std::string& separator) {
  parts.clear();
  if (text.empty()) return;
  // An empty separator would be found at every position without moving on.
  if (separator.empty()) {
    parts.push_back(text);
    return;
  }
  size_t position = 0;
  for (;;) {
    const size_t found = text.find(separator, position);
    if (found == std::string::npos) {
      parts.push_back(text.substr(position));
      return;
    }
    parts.push_back(text.substr(position, found - position));
    position = found + separator.size();
  }
}

bool ParseVersion(InstallRecord& record, const char* text) {
  std::vector<std::string> parts;
  SplitText(text != nullptr ? text : "", parts, ".");
  if (parts.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    // atoi's reading (leading white space, a sign, digits up to the first
    // other character), counted modulo 2^32: only the low 8 bits are kept,
    // and these stay exact for any number of digits without an overflow.
    const char* p = parts[i].c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    record.version[i] = static_cast<uint8_t>(value & 0xFFu);
  }
  return true;
}

void DeleteInstallKey(const InstallRecord& record) {
  char path[64];
  std::snprintf(path, sizeof path, "%s\\%ld", kInstallKey, static_cast<long>(record.index));
  plat::RegDeleteKeyPath(path);
}

void CollectInstallations(InstallSet& set) {
  set.clear();
  const KeyHandle key(plat::RegOpen(nullptr, kInstallKey));
  if (key.get() == nullptr) return;

  uint8_t totalBytes[4] = {0, 0, 0, 0};
  uint32_t size = sizeof totalBytes;
  if (!plat::RegQuery(key.get(), "Total", totalBytes, &size)) return;
  // A REG_DWORD is stored little-endian; used as a signed count.
  const auto total = static_cast<int32_t>(
      static_cast<uint32_t>(totalBytes[0]) | (static_cast<uint32_t>(totalBytes[1]) << 8) |
      (static_cast<uint32_t>(totalBytes[2]) << 16) | (static_cast<uint32_t>(totalBytes[3]) << 24));
  // A damaged count near 2^31 would keep the caller opening missing subkeys
  // for minutes; no installer numbers entries that far.
  const int32_t slots = total < kMaxInstallSlots ? total : kMaxInstallSlots;

  // One work record for every slot; it reaches the set only when all four
  // values of its slot were read, so nothing of an earlier slot leaks in.
  InstallRecord work;
  char text[kInstallValueSize + 1];
  for (int32_t i = 0; i < slots; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%ld", static_cast<long>(i));
    const KeyHandle entry(plat::RegOpen(key.get(), name));
    if (entry.get() == nullptr) continue;

    work.index = i;
    bool valid = true;
    // All four are read even after a failure.
    if (QueryText(entry.get(), "AppName", text)) {
      work.appName = text;
    } else {
      valid = false;
    }
    if (!QueryText(entry.get(), "Version", text) || !ParseVersion(work, text)) valid = false;
    if (QueryText(entry.get(), "Path", text)) {
      work.path = text;
    } else {
      valid = false;
    }
    if (QueryText(entry.get(), "Language", text)) {
      work.language = text;
    } else {
      valid = false;
    }
    if (valid) InsertReplacing(set, work);
  }
}

bool FindInstallation(const InstallSet& set, InstallRecord& wanted, InstallPredicate pred) {
  for (const InstallRecord& r : set) {
    if (pred(wanted, r)) {
      wanted = r;
      return true;
    }
  }
  return false;
}

bool SameEdition(const InstallRecord& wanted, const InstallRecord& candidate) {
  return EqualsNoCase(wanted.appName, candidate.appName);
}

bool FindEditionImage(const char* appName, std::string& path) {
  InstallRecord wanted;
  wanted.appName = appName;
  InstallSet installations;
  CollectInstallations(installations);
  if (!FindInstallation(installations, wanted, SameEdition)) return false;
  path = wanted.path;
  return true;
}

}  // namespace vxb
