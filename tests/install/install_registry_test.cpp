// Installation entries: the text helpers, the order of the set, and reading
// the entries from the store (natively the directory store, under Wine the
// real registry).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "install/install_registry.h"
#include "install_fixture.h"

namespace {

using vxb::InstallRecord;
using vxb::InstallSet;
using vxtest::Entry;
using Strings = std::vector<std::string>;
using Version = std::array<uint8_t, 4>;

InstallRecord Record(const std::string& name, Version version, int32_t index = 0) {
  InstallRecord r;
  r.index = index;
  r.appName = name;
  r.version = version;
  return r;
}

// The set in its order, one "index:name:a.b.c.d:path" per record.
Strings Describe(const InstallSet& set) {
  Strings out;
  for (const InstallRecord& r : set) {
    std::string v;
    for (uint8_t n : r.version) v += (v.empty() ? "" : ".") + std::to_string(n);
    out.push_back(std::to_string(r.index) + ":" + r.appName + ":" + v + ":" + r.path);
  }
  return out;
}

InstallSet Collect() {
  InstallSet set;
  vxb::CollectInstallations(set);
  return set;
}

TEST(InstallText, SplitText) {
  const struct {
    const char *text, *separator;
    Strings parts;
  } cases[] = {
      {"", ".", {}},
      {"2.1..15", ".", {"2", "1", "", "15"}},
      {"1.2.3.4.", ".", {"1", "2", "3", "4", ""}},
      {".", ".", {"", ""}},
      {"no separator", ".", {"no separator"}},
      {"a::b:c", "::", {"a", "b:c"}},
      {"abc", "", {"abc"}},  // ends rather than find the empty separator forever
  };
  for (const auto& c : cases) {
    Strings parts{"left over"};
    vxb::SplitText(c.text, parts, c.separator);
    EXPECT_EQ(parts, c.parts) << c.text;
  }
}

TEST(InstallText, ParseVersionReadsFourNumbersLikeAtoiOrKeepsTheVersion) {
  const struct {
    const char* text;
    bool ok;
    Version version;
  } cases[] = {
      {"1.2.3.300", true, {1, 2, 3, 44}},
      {"-1.256.0.4294967297", true, {255, 0, 0, 1}},
      {" 7.+3.x9.4z", true, {7, 3, 0, 4}},
      {"\t\r7.\n8.\v9.\f10", true, {7, 8, 9, 10}},
      {"2.1..15", true, {2, 1, 0, 15}},
      // 10^30 = 2^30 * 5^30: its low 8 bits are 0, for any number of digits.
      {"1000000000000000000000000000000.9.9.9", true, {0, 9, 9, 9}},
      {"1.2.3", false, {5, 6, 7, 8}},
      {"1.2.3.4.", false, {5, 6, 7, 8}},
      {"1.2.3.4.5", false, {5, 6, 7, 8}},
      {"", false, {5, 6, 7, 8}},
      {"1234", false, {5, 6, 7, 8}},
  };
  for (const auto& c : cases) {
    InstallRecord r = Record("Amber", {5, 6, 7, 8});
    EXPECT_EQ(vxb::ParseVersion(r, c.text), c.ok) << c.text;
    EXPECT_EQ(r.version, c.version) << c.text;
  }
}

TEST(InstallText, EqualsNoCaseFoldsAsciiLettersOnly) {
  const struct {
    const char *x, *y;
    bool equal;
  } cases[] = {
      {"amber", "AMBER", true}, {"Ferro3D", "fERRO3d", true}, {"", "", true},
      {"amber", "amber ", false}, {"amber", "ambe", false},
      // '[' and '{', '@' and '`' differ only by the letter-case bit.
      {"a[", "A{", false}, {"@", "`", false},
      // Bytes above 127 match only themselves, whatever the locale.
      {"\xE9", "\xC9", false}, {"\xE9x", "\xE9X", true},
  };
  for (const auto& c : cases) EXPECT_EQ(vxb::EqualsNoCase(c.x, c.y), c.equal) << c.x << "|" << c.y;
}

TEST(InstallText, EditionRankFollowsTheEditionList) {
  const char* list[] = {"Ferro",  "Kestrel", "Amber",  "Cobalt",
                        "Jasper", "Indigo",  "Garnet", "Ferro3D"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(vxb::EditionRank(list[i]), i + 1) << list[i];
    EXPECT_EQ(vxb::EditionRank(vxtest::SwapLetterCase(list[i])), i + 1) << list[i];
  }
  for (const char* other : {"", "Amber ", "Ferro3", "Onyx"}) EXPECT_EQ(vxb::EditionRank(other), 0);
}

TEST(InstallOrder, SameNameByUnsignedVersionOtherNamesByEditionRank) {
  const struct {
    InstallRecord a, b;
    bool aFirst, bFirst;
  } cases[] = {
      {Record("Amber", {1, 2, 0, 0}), Record("Amber", {1, 10, 0, 0}), true, false},
      {Record("Amber", {1, 100, 0, 0}), Record("Amber", {1, 200, 0, 0}), true, false},  // unsigned
      {Record("Amber", {0, 0, 0, 9}), Record("Amber", {0, 0, 1, 0}), true, false},
      {Record("Amber", {1, 2, 3, 4}), Record("Amber", {1, 2, 3, 4}), false, false},
      {Record("Amber", {9, 0, 0, 0}), Record("Cobalt", {1, 0, 0, 0}), true, false},
      {Record("Onyx", {9, 9, 9, 9}), Record("Ferro", {0, 0, 0, 0}), true, false},
      // Equal rank: equivalent whatever the versions.
      {Record("amber", {1, 0, 0, 0}), Record("Amber", {2, 0, 0, 0}), false, false},
      {Record("Onyx", {1, 0, 0, 0}), Record("Quartz", {2, 0, 0, 0}), false, false},
  };
  const vxb::InstallOrder before;
  for (const auto& c : cases) {
    EXPECT_EQ(before(c.a, c.b), c.aFirst) << c.a.appName << " " << c.b.appName;
    EXPECT_EQ(before(c.b, c.a), c.bFirst) << c.b.appName << " " << c.a.appName;
  }
}

TEST(FindInstallation, CopiesTheFirstAcceptedRecordWholeOrLeavesTheWanted) {
  InstallRecord cobalt = Record("Cobalt", {1, 0, 0, 0}, 4);
  cobalt.path = "cobalt-path";
  cobalt.language = "cat";
  const InstallSet set = {Record("Amber", {3, 0, 0, 0}, 1), cobalt,
                          Record("Cobalt", {2, 0, 0, 0}, 5)};
  InstallRecord wanted = Record("COBALT", {}, 9);
  wanted.path = "untouched";
  EXPECT_FALSE(vxb::FindInstallation({}, wanted, vxb::SameEdition));
  EXPECT_EQ(Describe({wanted}), Strings{"9:COBALT:0.0.0.0:untouched"});
  ASSERT_TRUE(vxb::FindInstallation(set, wanted, vxb::SameEdition));
  EXPECT_EQ(Describe({wanted}), Strings{"4:Cobalt:1.0.0.0:cobalt-path"});
  EXPECT_EQ(wanted.language, "cat");
  InstallRecord jasper = Record("Jasper", {}, 9);
  EXPECT_FALSE(vxb::FindInstallation(set, jasper, vxb::SameEdition));
  EXPECT_EQ(Describe({jasper}), Strings{"9:Jasper:0.0.0.0:"});
}

using CollectInstallations = vxtest::InstallTest;

TEST_F(CollectInstallations, NoKeyNoTotalOrNoSlotsGiveAnEmptySet) {
  EXPECT_TRUE(Collect().empty());
  ASSERT_TRUE(vxtest::WriteEntry("0", {"Amber", "1.0.0.0", "p0"}));
  EXPECT_TRUE(Collect().empty());  // no "Total"
  for (uint32_t total : {0u, 0xFFFFFFFFu, 0x80000000u}) {  // 0 or negative
    ASSERT_TRUE(vxtest::WriteTotal(total));
    EXPECT_TRUE(Collect().empty()) << total;
  }
}

TEST_F(CollectInstallations, EntriesAsTheyAreStored) {
  const std::string fits(259, 'p');  // with its NUL the 260 bytes read
  const std::string tooLong(260, 'q');
  const struct {
    const char* what;
    std::vector<std::pair<std::string, Entry>> slots;
    uint32_t total;
    Strings set;
    Strings deleted;
  } cases[] = {
      {"gaps are skipped",
       {{"0", {"Amber", "1.0.0.0", "p0"}}, {"2", {"Cobalt", "1.0.0.0", "p2"}}},
       3, {"0:Amber:1.0.0.0:p0", "2:Cobalt:1.0.0.0:p2"}, {}},
      {"slots at or beyond Total are not read",
       {{"0", {"Amber", "1.0.0.0", "p0"}}, {"1", {"Cobalt", "1.0.0.0", "p1"}}},
       1, {"0:Amber:1.0.0.0:p0"}, {}},
      {"an absurd Total is capped",
       {{"0", {"Amber", "1.0.0.0", "p0"}},
        {std::to_string(vxb::kMaxInstallSlots - 1), {"Cobalt", "1.0.0.0", "last"}},
        {std::to_string(vxb::kMaxInstallSlots), {"Jasper", "1.0.0.0", "beyond"}}},
       0x7FFFFFFF, {"0:Amber:1.0.0.0:p0", "9999:Cobalt:1.0.0.0:last"}, {}},
      {"subkeys not named by a slot number are ignored",
       {{"0", {"Amber", "1.0.0.0", "p0"}}, {"01", {"Cobalt", "1.0.0.0", "odd"}},
        {"x", {"Cobalt", "1.0.0.0", "odd"}}, {"+2", {"Cobalt", "1.0.0.0", "odd"}},
        {"2 ", {"Cobalt", "1.0.0.0", "odd"}}},
       3, {"0:Amber:1.0.0.0:p0"}, {}},
      {"a duplicate registration loses its lower slot",
       {{"0", {"Amber", "1.0.0.0", "first"}}, {"1", {"AMBER", "1.0.0.0", "second"}}},
       2, {"1:AMBER:1.0.0.0:second"}, {"0"}},
      {"equivalent but distinct entries are replaced, not deleted",
       {{"0", {"Amber", "1.0.0.0", "p0"}}, {"1", {"amber", "2.0.0.0", "p1"}},
        {"2", {"Onyx", "1.0.0.0", "p2"}}, {"3", {"Quartz", "1.0.0.0", "p3"}}},
       4, {"3:Quartz:1.0.0.0:p3", "1:amber:2.0.0.0:p1"}, {}},
      {"versions of one edition are ordered numerically",
       {{"0", {"Amber", "1.10.0.0", "p10"}}, {"1", {"Amber", "1.2.0.0", "p2"}}},
       2, {"1:Amber:1.2.0.0:p2", "0:Amber:1.10.0.0:p10"}, {}},
      {"different editions go by rank",
       {{"0", {"Cobalt", "1.0.0.0", "c"}}, {"1", {"Amber", "9.0.0.0", "a"}},
        {"2", {"Ferro", "1.0.0.0", "f"}}, {"3", {"Onyx", "5.0.0.0", "o"}},
        {"4", {"Ferro3D", "1.0.0.0", "f3"}}},
       5, {"3:Onyx:5.0.0.0:o", "2:Ferro:1.0.0.0:f", "1:Amber:9.0.0.0:a", "0:Cobalt:1.0.0.0:c",
           "4:Ferro3D:1.0.0.0:f3"}, {}},
      {"bad versions skip their slot",
       {{"0", {"Amber", "1.2.3", "three"}}, {"1", {"Cobalt", "1.2.3.4.", "dot"}},
        {"2", {"Jasper", "1.2.3.300", "wraps"}}, {"3", {"Indigo", "a.b.1.2", "letters"}}},
       4, {"2:Jasper:1.2.3.44:wraps", "3:Indigo:0.0.1.2:letters"}, {}},
      {"a missing value skips the slot, nothing inherited from an earlier one",
       {{"0", {"Amber", "1.0.0.0", "complete"}}, {"1", {{}, "2.0.0.0", "no-name"}},
        {"2", {"Amber", {}, "no-version"}}, {"3", {"Amber", "3.0.0.0", {}}},
        {"4", {"Amber", "4.0.0.0", "no-language", {}}}},
       5, {"0:Amber:1.0.0.0:complete"}, {}},
      {"values larger than the buffer skip their slot",
       {{"0", {"Amber", "1.0.0.0", fits}}, {"1", {"Cobalt", "1.0.0.0", tooLong}},
        {"2", {tooLong, "1.0.0.0", "p2"}}},
       3, {"0:Amber:1.0.0.0:" + fits}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::StoreReset();
    for (const auto& [slot, entry] : c.slots) ASSERT_TRUE(vxtest::WriteEntry(slot, entry));
    ASSERT_TRUE(vxtest::WriteTotal(c.total));
    EXPECT_EQ(Describe(Collect()), c.set);
    for (const auto& slot : c.slots) {
      const auto& gone = c.deleted;
      const bool deleted = std::find(gone.begin(), gone.end(), slot.first) != gone.end();
      EXPECT_EQ(vxtest::SlotExists(slot.first), !deleted) << slot.first;
    }
    // Read again: the same set, the gap left behind skipped.
    EXPECT_EQ(Describe(Collect()), c.set);
  }
}

TEST_F(CollectInstallations, TextsWithoutTerminatorAreReadWhole) {
  ASSERT_TRUE(vxtest::WriteEntry("0", {"Amber", "1.2.3.4", "viewer-path", "spa"}, false));
  ASSERT_TRUE(vxtest::WriteTotal(1));
  const InstallSet set = Collect();
  ASSERT_EQ(Describe(set), Strings{"0:Amber:1.2.3.4:viewer-path"});
  EXPECT_EQ(set.begin()->language, "spa");
}

}  // namespace
