// Installation entries: the text helpers, the order of the set, and reading
// the entries from the store (natively the directory store, under Wine the
// real registry).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "install/install_registry.h"
#include "install_fixture.h"
#include "platform/platform.h"

namespace {

using vxb::InstallRecord;
using vxb::InstallSet;
using Strings = std::vector<std::string>;

// A record as "index:name:a.b.c.d:path[:language]", the language "eng" when
// left out: how Describe prints one and how the tables give one.
Strings Fields(const std::string& text) {
  Strings f;
  std::istringstream in(text);
  for (std::string s; std::getline(in, s, ':');) f.push_back(s);
  while (f.size() < 4) f.emplace_back();
  if (f.size() < 5) f.emplace_back("eng");
  return f;
}

InstallRecord Record(const std::string& text) {
  const Strings f = Fields(text);
  InstallRecord r{std::atoi(f[0].c_str()), f[1], {}, f[3], f[4]};
  std::sscanf(f[2].c_str(), "%hhu.%hhu.%hhu.%hhu", &r.version[0], &r.version[1], &r.version[2], &r.version[3]);
  return r;
}

Strings Describe(const InstallSet& set) {
  Strings out;
  for (const InstallRecord& r : set) {
    std::string v;
    for (uint8_t n : r.version) v += (v.empty() ? "" : ".") + std::to_string(n);
    out.push_back(std::to_string(r.index) + ":" + r.appName + ":" + v + ":" + r.path +
                  (r.language == "eng" ? "" : ":" + r.language));
  }
  return out;
}

InstallSet Collect() {
  InstallSet set;
  vxb::CollectInstallations(set);
  return set;
}

TEST(InstallText, SplitParseCompareRankOrderAndFind) {
  const std::tuple<const char*, const char*, Strings> splits[] = {
      {"", ".", {}}, {"2.1..15", ".", {"2", "1", "", "15"}}, {"1.2.3.4.", ".", {"1", "2", "3", "4", ""}},
      {".", ".", {"", ""}}, {"no separator", ".", {"no separator"}}, {"a::b:c", "::", {"a", "b:c"}},
      {"abc", "", {"abc"}},  // ends rather than find the empty separator forever
  };
  for (const auto& [text, separator, expected] : splits) {
    Strings parts{"left over"};
    vxb::SplitText(text, parts, separator);
    EXPECT_EQ(parts, expected) << text;
  }
  // Four numbers read as atoi does, each kept modulo 256; else the version stays.
  const std::tuple<const char*, bool, std::array<uint8_t, 4>> versions[] = {
      {"1.2.3.300", true, {1, 2, 3, 44}}, {"-1.256.0.4294967297", true, {255, 0, 0, 1}},
      {" 7.+3.x9.4z", true, {7, 3, 0, 4}}, {"\t\r7.\n8.\v9.\f10", true, {7, 8, 9, 10}}, {"2.1..15", true, {2, 1, 0, 15}},
      // 10^30 = 2^30 * 5^30: its low 8 bits are 0, for any number of digits.
      {"1000000000000000000000000000000.9.9.9", true, {0, 9, 9, 9}}, {"1.2.3", false, {5, 6, 7, 8}},
      {"1.2.3.4.", false, {5, 6, 7, 8}}, {"1.2.3.4.5", false, {5, 6, 7, 8}}, {"", false, {5, 6, 7, 8}},
      {"1234", false, {5, 6, 7, 8}}};
  for (const auto& [text, ok, version] : versions) {
    InstallRecord r = Record("0:Amber:5.6.7.8");
    EXPECT_EQ(vxb::ParseVersion(r, text), ok) << text;
    EXPECT_EQ(r.version, version) << text;
  }
  // ASCII letters only: '[' and '{', '@' and '`' differ by the letter-case bit
  // too, and bytes above 127 match only themselves, whatever the locale.
  const std::tuple<const char*, const char*, bool> names[] = {
      {"amber", "AMBER", true}, {"Ferro3D", "fERRO3d", true}, {"", "", true}, {"amber", "amber ", false},
      {"amber", "ambe", false}, {"a[", "A{", false}, {"@", "`", false}, {"\xE9", "\xC9", false},
      {"\xE9x", "\xE9X", true}};
  for (const auto& [x, y, equal] : names) EXPECT_EQ(vxb::EqualsNoCase(x, y), equal) << x << "|" << y;
  const char* list[] = {"Ferro", "Kestrel", "Amber", "Cobalt", "Jasper", "Indigo", "Garnet", "Ferro3D"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(vxb::EditionRank(list[i]), i + 1) << list[i];
    EXPECT_EQ(vxb::EditionRank(vxtest::SwapLetterCase(list[i])), i + 1) << list[i];
  }
  for (const char* other : {"", "Amber ", "Ferro3", "Onyx"}) EXPECT_EQ(vxb::EditionRank(other), 0);
  // The same name by unsigned version, other names by edition rank: a before
  // b, or (false) equivalent, whatever the versions.
  const std::tuple<const char*, const char*, bool> order[] = {
      {"0:Amber:1.2.0.0", "0:Amber:1.10.0.0", true}, {"0:Amber:1.100.0.0", "0:Amber:1.200.0.0", true},
      {"0:Amber:0.0.0.9", "0:Amber:0.0.1.0", true}, {"0:Amber:1.2.3.4", "0:Amber:1.2.3.4", false},
      {"0:Amber:9.0.0.0", "0:Cobalt:1.0.0.0", true}, {"0:Onyx:9.9.9.9", "0:Ferro:0.0.0.0", true},
      {"0:amber:1.0.0.0", "0:Amber:2.0.0.0", false}, {"0:Onyx:1.0.0.0", "0:Quartz:2.0.0.0", false},
  };
  const vxb::InstallOrder before;
  for (const auto& [a, b, aFirst] : order) {
    EXPECT_EQ(before(Record(a), Record(b)), aFirst) << a << " " << b;
    EXPECT_FALSE(before(Record(b), Record(a))) << b << " " << a;
  }
  // FindInstallation copies the first record accepted, whole, or leaves the wanted one.
  const InstallSet set = {Record("1:Amber:3.0.0.0:a"), Record("4:Cobalt:1.0.0.0:cobalt-path:cat"),
                          Record("5:Cobalt:2.0.0.0:c2")};
  const std::tuple<InstallSet, const char*, const char*> cases[] = {
      {{}, "9:COBALT:0.0.0.0:untouched", "9:COBALT:0.0.0.0:untouched"},
      {set, "9:COBALT:0.0.0.0:untouched", "4:Cobalt:1.0.0.0:cobalt-path:cat"},
      {set, "9:Jasper:0.0.0.0:", "9:Jasper:0.0.0.0:"}};
  for (const auto& [in, text, after] : cases) {
    InstallRecord wanted = Record(text);
    EXPECT_EQ(vxb::FindInstallation(in, wanted, vxb::SameEdition), std::strcmp(text, after) != 0);
    EXPECT_EQ(Describe({wanted}), Strings{after});
  }
}

using CollectInstallations = vxtest::InstallTest;

TEST_F(CollectInstallations, EntriesAsTheyAreStored) {
  constexpr uint64_t kNoTotal = 1ull << 32;
  const std::string fits(259, 'p');  // with its NUL the 260 bytes read
  const std::string tooLong(260, 'q');
  // Stored slots as "slot:name:version:path[:language]", "-" for a value not
  // written; the set read as Describe prints it; the slots deleted by reading.
  const struct {
    const char* what;
    Strings slots;
    uint64_t total;
    Strings set, deleted = {};
    bool nul = true;
  } cases[] = {
      {"no key", {}, kNoTotal, {}}, {"no Total", {"0:Amber:1.0.0.0:p0"}, kNoTotal, {}},
      {"Total 0", {"0:Amber:1.0.0.0:p0"}, 0, {}}, {"Total -1", {"0:Amber:1.0.0.0:p0"}, 0xFFFFFFFF, {}},
      {"Total most negative", {"0:Amber:1.0.0.0:p0"}, 0x80000000, {}},
      {"gaps, slots from Total on and subkeys not named by a slot number are skipped",
       {"0:Amber:1.0.0.0:p0", "2:Cobalt:1.0.0.0:p2", "3:Jasper:1.0.0.0:beyond", "01:Garnet:1.0.0.0:odd",
        "x:Garnet:1.0.0.0:odd", "+2:Garnet:1.0.0.0:odd", "2 :Garnet:1.0.0.0:odd", "..x:Garnet:1.0.0.0:odd"},
       3, {"0:Amber:1.0.0.0:p0", "2:Cobalt:1.0.0.0:p2"}},
      {"an absurd Total is capped", {"0:Amber:1.0.0.0:p0", "9999:Cobalt:1.0.0.0:last", "10000:Jasper:1.0.0.0:x"},
       0x7FFFFFFF, {"0:Amber:1.0.0.0:p0", "9999:Cobalt:1.0.0.0:last"}},
      {"a duplicate registration loses its lower slot; equivalent entries are replaced, not deleted",
       {"0:Amber:1.0.0.0:p0", "1:AMBER:1.0.0.0:p1", "2:amber:2.0.0.0:p2", "3:Onyx:1.0.0.0:p3", "4:Quartz:1.0.0.0:p4"},
       5, {"4:Quartz:1.0.0.0:p4", "2:amber:2.0.0.0:p2"}, {"0"}},
      {"one edition by numeric version, editions by rank",
       {"0:Cobalt:1.0.0.0:c", "1:Amber:9.0.0.0:a", "2:Ferro:1.0.0.0:f", "3:Onyx:5.0.0.0:o",
        "4:Ferro3D:1.0.0.0:f3", "5:Amber:1.10.0.0:a10", "6:Amber:1.2.0.0:a2"},
       7, {"3:Onyx:5.0.0.0:o", "2:Ferro:1.0.0.0:f", "6:Amber:1.2.0.0:a2", "5:Amber:1.10.0.0:a10",
           "1:Amber:9.0.0.0:a", "0:Cobalt:1.0.0.0:c", "4:Ferro3D:1.0.0.0:f3"}},
      {"a bad version or a missing value skips the slot, nothing inherited from an earlier one",
       {"0:Amber:1.0.0.0:complete", "1:-:2.0.0.0:no-name", "2:Amber:-:no-version", "3:Amber:3.0.0.0:-",
        "4:Amber:4.0.0.0:no-language:-", "5:Amber:1.2.3:three", "6:Cobalt:1.2.3.4.:dot",
        "7:Jasper:1.2.3.300:wraps", "8:Indigo:a.b.1.2:letters"},
       9, {"0:Amber:1.0.0.0:complete", "7:Jasper:1.2.3.44:wraps", "8:Indigo:0.0.1.2:letters"}},
      {"values larger than the buffer skip their slot",
       {"0:Amber:1.0.0.0:" + fits, "1:Cobalt:1.0.0.0:" + tooLong, "2:" + tooLong + ":1.0.0.0:p2"}, 3,
       {"0:Amber:1.0.0.0:" + fits}},
      {"texts without terminator are read whole", {"0:Amber:1.2.3.4:path:spa"}, 1, {"0:Amber:1.2.3.4:path:spa"}, {},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::StoreReset();
    for (const std::string& slot : c.slots) {
      const Strings f = Fields(slot);
      auto value = [&](int i) { return f[i] == "-" ? std::nullopt : std::optional<std::string>(f[i]); };
      ASSERT_TRUE(vxtest::WriteEntry(f[0], {value(1), value(2), value(3), value(4)}, c.nul));
    }
    ASSERT_TRUE(c.total == kNoTotal || vxtest::WriteTotal(static_cast<uint32_t>(c.total)));
    EXPECT_EQ(Describe(Collect()), c.set);
    for (const std::string& slot : c.slots) {
      const std::string name = Fields(slot)[0];
      EXPECT_EQ(vxtest::SlotExists(name), std::count(c.deleted.begin(), c.deleted.end(), name) == 0) << name;
    }
    // Read again: the same set, the gap left behind skipped.
    EXPECT_EQ(Describe(Collect()), c.set);
  }
  // ".." never leads out of the key it is in ("..x" above is a plain name).
  EXPECT_FALSE(vxtest::SlotExists("..\\Vexa"));
}

#if !defined(_WIN32)
// The directory store ends a text stored without its NUL where there is room
// for one, whatever the byte before the buffer holds.
TEST_F(CollectInstallations, StoreEndsTextsWhereThereIsRoom) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", std::string("abc\0xxx", 7)}, {"", std::string("\0xxxxxx", 7)},
      {std::string("ab\0", 3), std::string("ab\0xxxx", 7)}, {"abcdef", "abcdefx"}};
  for (const auto& [value, after] : cases) {
    ASSERT_TRUE(vxtest::StoreWrite("K", "V", value));
    vxb::plat::RegKeyImpl* key = vxb::plat::RegOpen(nullptr, "K");
    char buffer[8] = {'\0', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    uint32_t size = 6;
    EXPECT_TRUE(vxb::plat::RegQuery(key, "V", buffer + 1, &size));
    vxb::plat::RegClose(key);
    EXPECT_EQ(size, value.size());
    EXPECT_EQ(std::string(buffer + 1, 7), after);
  }
}
#endif

}  // namespace
