// Installation entries: the text helpers, the order of the set, and reading
// the entries from the store (natively the directory store, under Wine the
// real registry).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "install/install_registry.h"
#include "install_fixture.h"

namespace {

using vxb::InstallRecord;
using vxb::InstallSet;
using vxtest::Entry;
using vxtest::WriteEntry;
using vxtest::WriteTotal;

InstallRecord Record(const std::string& name, uint8_t a, uint8_t b, uint8_t c, uint8_t d,
                     int32_t index = 0) {
  InstallRecord r;
  r.index = index;
  r.appName = name;
  r.version = {a, b, c, d};
  return r;
}

// The set in its order, one "index:name:a.b.c.d" per record.
std::vector<std::string> Describe(const InstallSet& set) {
  std::vector<std::string> out;
  for (const InstallRecord& r : set) {
    out.push_back(std::to_string(r.index) + ":" + r.appName + ":" + std::to_string(r.version[0]) +
                  "." + std::to_string(r.version[1]) + "." + std::to_string(r.version[2]) + "." +
                  std::to_string(r.version[3]));
  }
  return out;
}

InstallSet Collect() {
  InstallSet set;
  vxb::CollectInstallations(set);
  return set;
}

using Strings = std::vector<std::string>;

// ---- Text helpers -----------------------------------------------------------------

TEST(InstallText, SplitTextKeepsEmptyParts) {
  Strings parts{"left over"};
  vxb::SplitText("", parts, ".");
  EXPECT_TRUE(parts.empty());
  vxb::SplitText("2.1..15", parts, ".");
  EXPECT_EQ(parts, (Strings{"2", "1", "", "15"}));
  vxb::SplitText("1.2.3.4.", parts, ".");
  EXPECT_EQ(parts, (Strings{"1", "2", "3", "4", ""}));
  vxb::SplitText(".", parts, ".");
  EXPECT_EQ(parts, (Strings{"", ""}));
  vxb::SplitText("no separator", parts, ".");
  EXPECT_EQ(parts, (Strings{"no separator"}));
  vxb::SplitText("a::b:c", parts, "::");
  EXPECT_EQ(parts, (Strings{"a", "b:c"}));
  // Must end rather than find the empty separator forever.
  vxb::SplitText("abc", parts, "");
  EXPECT_EQ(parts, (Strings{"abc"}));
}

TEST(InstallText, ParseVersionReadsFourNumbersLikeAtoi) {
  InstallRecord r;
  ASSERT_TRUE(vxb::ParseVersion(r, "1.2.3.300"));
  EXPECT_EQ(r.version, (std::array<uint8_t, 4>{1, 2, 3, 44}));
  ASSERT_TRUE(vxb::ParseVersion(r, "-1.256.0.4294967297"));
  EXPECT_EQ(r.version, (std::array<uint8_t, 4>{255, 0, 0, 1}));
  ASSERT_TRUE(vxb::ParseVersion(r, " 7.+3.x9.4z"));
  EXPECT_EQ(r.version, (std::array<uint8_t, 4>{7, 3, 0, 4}));
  ASSERT_TRUE(vxb::ParseVersion(r, "2.1..15"));
  EXPECT_EQ(r.version, (std::array<uint8_t, 4>{2, 1, 0, 15}));
  // Far more digits than any integer holds: still the low 8 bits
  // (10^30 = 2^30 * 5^30, so they are 0).
  ASSERT_TRUE(vxb::ParseVersion(r, "1000000000000000000000000000000.9.9.9"));
  EXPECT_EQ(r.version, (std::array<uint8_t, 4>{0, 9, 9, 9}));
}

TEST(InstallText, ParseVersionRefusesOtherThanFourPartsAndKeepsTheVersion) {
  InstallRecord r = Record("Amber", 5, 6, 7, 8);
  for (const char* bad : {"1.2.3", "1.2.3.4.", "1.2.3.4.5", "", "1234"}) {
    EXPECT_FALSE(vxb::ParseVersion(r, bad)) << bad;
    EXPECT_EQ(r.version, (std::array<uint8_t, 4>{5, 6, 7, 8})) << bad;
  }
}

TEST(InstallText, EqualsNoCaseFoldsAsciiLettersOnly) {
  EXPECT_TRUE(vxb::EqualsNoCase("amber", "AMBER"));
  EXPECT_TRUE(vxb::EqualsNoCase("Ferro3D", "fERRO3d"));
  EXPECT_TRUE(vxb::EqualsNoCase("", ""));
  EXPECT_FALSE(vxb::EqualsNoCase("amber", "amber "));
  EXPECT_FALSE(vxb::EqualsNoCase("amber", "ambe"));
  // '[' and '{' differ by the bit that tells letter case apart: folding that
  // bit instead of letters would take them for equal.
  EXPECT_FALSE(vxb::EqualsNoCase("a[", "A{"));
  EXPECT_FALSE(vxb::EqualsNoCase("@", "`"));
  // Bytes above 127 match only themselves, whatever locale is set.
  EXPECT_FALSE(vxb::EqualsNoCase("\xE9", "\xC9"));
  EXPECT_TRUE(vxb::EqualsNoCase("\xE9x", "\xE9X"));
}

TEST(InstallText, EditionRankFollowsTheEditionList) {
  const char* list[] = {"Ferro", "Kestrel", "Amber", "Cobalt", "Jasper", "Indigo", "Garnet", "Ferro3D"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(vxb::EditionRank(list[i]), i + 1) << list[i];
    EXPECT_EQ(vxb::EditionRank(vxtest::SwapLetterCase(list[i])), i + 1) << list[i];
  }
  EXPECT_EQ(vxb::EditionRank(""), 0);
  EXPECT_EQ(vxb::EditionRank("Amber "), 0);
  EXPECT_EQ(vxb::EditionRank("Ferro3"), 0);
  EXPECT_EQ(vxb::EditionRank("Onyx"), 0);
}

// ---- Order of the set --------------------------------------------------------------

TEST(InstallOrder, SameNameGoesByVersionNumbersAsUnsigned) {
  const vxb::InstallOrder before;
  EXPECT_TRUE(before(Record("Amber", 1, 2, 0, 0), Record("Amber", 1, 10, 0, 0)));
  EXPECT_FALSE(before(Record("Amber", 1, 10, 0, 0), Record("Amber", 1, 2, 0, 0)));
  // 200 is larger than 100: as a signed byte it would be negative.
  EXPECT_TRUE(before(Record("Amber", 1, 100, 0, 0), Record("Amber", 1, 200, 0, 0)));
  EXPECT_TRUE(before(Record("Amber", 0, 0, 0, 9), Record("Amber", 0, 0, 1, 0)));
  // The same name and version: neither comes first.
  EXPECT_FALSE(before(Record("Amber", 1, 2, 3, 4), Record("Amber", 1, 2, 3, 4)));
}

TEST(InstallOrder, DifferentNamesGoByEditionRank) {
  const vxb::InstallOrder before;
  EXPECT_TRUE(before(Record("Amber", 9, 0, 0, 0), Record("Cobalt", 1, 0, 0, 0)));
  EXPECT_FALSE(before(Record("Cobalt", 1, 0, 0, 0), Record("Amber", 9, 0, 0, 0)));
  EXPECT_TRUE(before(Record("Onyx", 9, 9, 9, 9), Record("Ferro", 0, 0, 0, 0)));
  // Names of equal rank are equivalent whatever their versions.
  EXPECT_FALSE(before(Record("amber", 1, 0, 0, 0), Record("Amber", 2, 0, 0, 0)));
  EXPECT_FALSE(before(Record("Amber", 2, 0, 0, 0), Record("amber", 1, 0, 0, 0)));
  EXPECT_FALSE(before(Record("Onyx", 1, 0, 0, 0), Record("Quartz", 2, 0, 0, 0)));
  EXPECT_FALSE(before(Record("Quartz", 2, 0, 0, 0), Record("Onyx", 1, 0, 0, 0)));
}

// ---- FindInstallation ---------------------------------------------------------------

TEST(FindInstallation, EmptySetLeavesTheWantedRecord) {
  const InstallSet set;
  InstallRecord wanted;
  wanted.appName = "Amber";
  wanted.path = "untouched";
  EXPECT_FALSE(vxb::FindInstallation(set, wanted, vxb::SameEdition));
  EXPECT_EQ(wanted.appName, "Amber");
  EXPECT_EQ(wanted.path, "untouched");
}

TEST(FindInstallation, CopiesTheFirstAcceptedRecordWhole) {
  InstallSet set;
  InstallRecord cobalt = Record("Cobalt", 1, 0, 0, 0, 4);
  cobalt.path = "cobalt-path";
  cobalt.language = "cat";
  set.insert(Record("Amber", 3, 0, 0, 0, 1));
  set.insert(cobalt);
  set.insert(Record("Cobalt", 2, 0, 0, 0, 5));
  InstallRecord wanted;
  wanted.appName = "COBALT";
  ASSERT_TRUE(vxb::FindInstallation(set, wanted, vxb::SameEdition));
  EXPECT_EQ(wanted.index, 4);
  EXPECT_EQ(wanted.appName, "Cobalt");
  EXPECT_EQ(wanted.version, (std::array<uint8_t, 4>{1, 0, 0, 0}));
  EXPECT_EQ(wanted.path, "cobalt-path");
  EXPECT_EQ(wanted.language, "cat");

  InstallRecord jasper;
  jasper.appName = "Jasper";
  EXPECT_FALSE(vxb::FindInstallation(set, jasper, vxb::SameEdition));
  EXPECT_EQ(jasper.appName, "Jasper");
}

// ---- CollectInstallations --------------------------------------------------------------

using CollectInstallations = vxtest::StoreTest;

TEST_F(CollectInstallations, NoKeyNoTotalOrNoSlotsGiveAnEmptySet) {
  EXPECT_TRUE(Collect().empty());  // no key at all
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "p0"}));
  EXPECT_TRUE(Collect().empty());  // no "Total"
  for (uint32_t total : {0u, 0xFFFFFFFFu, 0x80000000u}) {
    ASSERT_TRUE(WriteTotal(total));
    EXPECT_TRUE(Collect().empty()) << total;  // 0 or negative
  }
}

TEST_F(CollectInstallations, ReadsAllFiveFieldsOfEachSlot) {
  ASSERT_TRUE(WriteEntry(0, {"Cobalt", "4.3.2.1", "cobalt-path", "spa"}));
  ASSERT_TRUE(WriteTotal(1));
  const InstallSet set = Collect();
  ASSERT_EQ(set.size(), 1u);
  const InstallRecord& r = *set.begin();
  EXPECT_EQ(r.index, 0);
  EXPECT_EQ(r.appName, "Cobalt");
  EXPECT_EQ(r.version, (std::array<uint8_t, 4>{4, 3, 2, 1}));
  EXPECT_EQ(r.path, "cobalt-path");
  EXPECT_EQ(r.language, "spa");
}

TEST_F(CollectInstallations, GapsInTheSlotsAreSkipped) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "p0"}));
  ASSERT_TRUE(WriteEntry(2, {"Cobalt", "1.0.0.0", "p2"}));
  ASSERT_TRUE(WriteTotal(3));
  EXPECT_EQ(Describe(Collect()), (Strings{"0:Amber:1.0.0.0", "2:Cobalt:1.0.0.0"}));
}

TEST_F(CollectInstallations, SlotsAtOrBeyondTotalAreNotRead) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "p0"}));
  ASSERT_TRUE(WriteEntry(1, {"Cobalt", "1.0.0.0", "p1"}));
  ASSERT_TRUE(WriteTotal(1));
  EXPECT_EQ(Describe(Collect()), (Strings{"0:Amber:1.0.0.0"}));
}

TEST_F(CollectInstallations, SubkeysNotNamedByASlotNumberAreIgnored) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "p0"}));
  ASSERT_TRUE(vxtest::StoreCreateKey(vxtest::SlotKey(1)));  // empty slot
  const std::string base = std::string(vxb::kInstallKey) + "\\";
  for (const char* odd : {"01", "x", "+2", "2 "}) {
    const std::string key = base + odd;
    ASSERT_TRUE(vxtest::StoreWriteText(key, "AppName", std::string("Cobalt") + '\0'));
    ASSERT_TRUE(vxtest::StoreWriteText(key, "Version", std::string("1.0.0.0") + '\0'));
    ASSERT_TRUE(vxtest::StoreWriteText(key, "Path", std::string("odd") + '\0'));
    ASSERT_TRUE(vxtest::StoreWriteText(key, "Language", std::string("eng") + '\0'));
  }
  ASSERT_TRUE(WriteTotal(3));
  EXPECT_EQ(Describe(Collect()), (Strings{"0:Amber:1.0.0.0"}));
}

TEST_F(CollectInstallations, AbsurdTotalIsCappedAndEnds) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "p0"}));
  ASSERT_TRUE(WriteEntry(vxb::kMaxInstallSlots - 1, {"Cobalt", "1.0.0.0", "last"}));
  ASSERT_TRUE(WriteEntry(vxb::kMaxInstallSlots, {"Jasper", "1.0.0.0", "beyond"}));
  ASSERT_TRUE(WriteTotal(0x7FFFFFFF));
  const auto start = std::chrono::steady_clock::now();
  const InstallSet set = Collect();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Describe(set), (Strings{"0:Amber:1.0.0.0", "9999:Cobalt:1.0.0.0"}));
  EXPECT_LT(took, std::chrono::seconds(30));
}

TEST_F(CollectInstallations, DuplicateRegistrationDeletesTheLowerSlot) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "first"}));
  ASSERT_TRUE(WriteEntry(1, {"Amber", "1.0.0.0", "second"}));
  ASSERT_TRUE(WriteTotal(2));
  const InstallSet set = Collect();
  ASSERT_EQ(Describe(set), (Strings{"1:Amber:1.0.0.0"}));
  EXPECT_EQ(set.begin()->path, "second");
  EXPECT_FALSE(vxtest::SlotExists(0));
  EXPECT_TRUE(vxtest::SlotExists(1));
  uint32_t total = 0;
  ASSERT_TRUE(vxtest::ReadTotal(&total));
  EXPECT_EQ(total, 2u);
  // Read again: the gap left behind is skipped, the record is the same.
  EXPECT_EQ(Describe(Collect()), (Strings{"1:Amber:1.0.0.0"}));
}

TEST_F(CollectInstallations, DuplicateRegistrationIgnoresLetterCase) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "first"}));
  ASSERT_TRUE(WriteEntry(1, {"AMBER", "1.0.0.0", "second"}));
  ASSERT_TRUE(WriteTotal(2));
  const InstallSet set = Collect();
  ASSERT_EQ(Describe(set), (Strings{"1:AMBER:1.0.0.0"}));
  EXPECT_EQ(set.begin()->path, "second");
  EXPECT_FALSE(vxtest::SlotExists(0));
  EXPECT_TRUE(vxtest::SlotExists(1));
}

TEST_F(CollectInstallations, EquivalentButDistinctEntriesAreReplacedNotDeleted) {
  // Same edition in other letters, other version: equivalent by rank.
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "p0"}));
  ASSERT_TRUE(WriteEntry(1, {"amber", "2.0.0.0", "p1"}));
  // Two names outside the edition list: equivalent whatever they are.
  ASSERT_TRUE(WriteEntry(2, {"Onyx", "1.0.0.0", "p2"}));
  ASSERT_TRUE(WriteEntry(3, {"Quartz", "1.0.0.0", "p3"}));
  ASSERT_TRUE(WriteTotal(4));
  const InstallSet set = Collect();
  EXPECT_EQ(Describe(set), (Strings{"3:Quartz:1.0.0.0", "1:amber:2.0.0.0"}));
  // Not duplicate registrations: every entry stays in the store.
  for (int slot = 0; slot < 4; ++slot) EXPECT_TRUE(vxtest::SlotExists(slot)) << slot;
}

TEST_F(CollectInstallations, VersionsOfOneEditionAreOrderedNumerically) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.10.0.0", "p10"}));
  ASSERT_TRUE(WriteEntry(1, {"Amber", "1.2.0.0", "p2"}));
  ASSERT_TRUE(WriteTotal(2));
  const InstallSet set = Collect();
  EXPECT_EQ(Describe(set), (Strings{"1:Amber:1.2.0.0", "0:Amber:1.10.0.0"}));
  // The lowest version, found by the edition written in capitals.
  InstallRecord wanted;
  wanted.appName = "AMBER";
  ASSERT_TRUE(vxb::FindInstallation(set, wanted, vxb::SameEdition));
  EXPECT_EQ(wanted.path, "p2");
  EXPECT_TRUE(vxtest::SlotExists(0));
  EXPECT_TRUE(vxtest::SlotExists(1));
}

TEST_F(CollectInstallations, SetIsOrderedByEditionRank) {
  ASSERT_TRUE(WriteEntry(0, {"Cobalt", "1.0.0.0", "c"}));
  ASSERT_TRUE(WriteEntry(1, {"Amber", "9.0.0.0", "a"}));
  ASSERT_TRUE(WriteEntry(2, {"Ferro", "1.0.0.0", "f"}));
  ASSERT_TRUE(WriteEntry(3, {"Onyx", "5.0.0.0", "o"}));
  ASSERT_TRUE(WriteEntry(4, {"Ferro3D", "1.0.0.0", "f3"}));
  ASSERT_TRUE(WriteTotal(5));
  EXPECT_EQ(Describe(Collect()), (Strings{"3:Onyx:5.0.0.0", "2:Ferro:1.0.0.0", "1:Amber:9.0.0.0",
                                          "0:Cobalt:1.0.0.0", "4:Ferro3D:1.0.0.0"}));
}

TEST_F(CollectInstallations, BadVersionsSkipTheirSlot) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.2.3", "three"}));
  ASSERT_TRUE(WriteEntry(1, {"Cobalt", "1.2.3.4.", "trailing-dot"}));
  ASSERT_TRUE(WriteEntry(2, {"Jasper", "1.2.3.300", "wraps"}));
  ASSERT_TRUE(WriteEntry(3, {"Indigo", "a.b.1.2", "letters"}));
  ASSERT_TRUE(WriteTotal(4));
  EXPECT_EQ(Describe(Collect()), (Strings{"2:Jasper:1.2.3.44", "3:Indigo:0.0.1.2"}));
  // Skipped slots are not deleted.
  EXPECT_TRUE(vxtest::SlotExists(0));
  EXPECT_TRUE(vxtest::SlotExists(1));
}

TEST_F(CollectInstallations, IncompleteSlotDoesNotInheritAnEarlierSlot) {
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", "complete"}));
  // Slot 1: a valid version and path, but no AppName. Read into a reused
  // record it would come out as Amber 2.0.0.0.
  const std::string key = vxtest::SlotKey(1);
  ASSERT_TRUE(vxtest::StoreWriteText(key, "Version", std::string("2.0.0.0") + '\0'));
  ASSERT_TRUE(vxtest::StoreWriteText(key, "Path", std::string("no-name") + '\0'));
  ASSERT_TRUE(vxtest::StoreWriteText(key, "Language", std::string("eng") + '\0'));
  // Slot 2: everything but the language.
  const std::string key2 = vxtest::SlotKey(2);
  ASSERT_TRUE(vxtest::StoreWriteText(key2, "AppName", std::string("Amber") + '\0'));
  ASSERT_TRUE(vxtest::StoreWriteText(key2, "Version", std::string("3.0.0.0") + '\0'));
  ASSERT_TRUE(vxtest::StoreWriteText(key2, "Path", std::string("no-language") + '\0'));
  ASSERT_TRUE(WriteTotal(3));
  const InstallSet set = Collect();
  EXPECT_EQ(Describe(set), (Strings{"0:Amber:1.0.0.0"}));
  EXPECT_TRUE(vxtest::SlotExists(1));
  EXPECT_TRUE(vxtest::SlotExists(2));
}

TEST_F(CollectInstallations, ValuesLargerThanTheBufferSkipTheirSlot) {
  const std::string fits(259, 'p');    // 259 characters and the NUL: 260 bytes
  const std::string tooLong(260, 'q');  // 261 bytes with the NUL
  ASSERT_TRUE(WriteEntry(0, {"Amber", "1.0.0.0", fits}));
  ASSERT_TRUE(WriteEntry(1, {"Cobalt", "1.0.0.0", tooLong}));
  ASSERT_TRUE(WriteEntry(2, {tooLong, "1.0.0.0", "p2"}));
  ASSERT_TRUE(WriteTotal(3));
  const InstallSet set = Collect();
  ASSERT_EQ(Describe(set), (Strings{"0:Amber:1.0.0.0"}));
  EXPECT_EQ(set.begin()->path, fits);
}

TEST_F(CollectInstallations, TextsWithoutTerminatorAreReadWhole) {
  const std::string key = vxtest::SlotKey(0);
  ASSERT_TRUE(vxtest::StoreWriteText(key, "AppName", "Amber"));
  ASSERT_TRUE(vxtest::StoreWriteText(key, "Version", "1.2.3.4"));
  ASSERT_TRUE(vxtest::StoreWriteText(key, "Path", "viewer-path"));
  ASSERT_TRUE(vxtest::StoreWriteText(key, "Language", "eng"));
  ASSERT_TRUE(WriteTotal(1));
  const InstallSet set = Collect();
  ASSERT_EQ(Describe(set), (Strings{"0:Amber:1.2.3.4"}));
  EXPECT_EQ(set.begin()->path, "viewer-path");
  EXPECT_EQ(set.begin()->language, "eng");
}

TEST_F(CollectInstallations, DeleteInstallKeyRemovesOnlyItsSlot) {
  ASSERT_TRUE(WriteEntry(3, {"Amber", "1.0.0.0", "p3"}));
  ASSERT_TRUE(WriteEntry(4, {"Amber", "2.0.0.0", "p4"}));
  ASSERT_TRUE(WriteTotal(5));
  vxb::DeleteInstallKey(Record("Amber", 1, 0, 0, 0, 3));
  EXPECT_FALSE(vxtest::SlotExists(3));
  EXPECT_TRUE(vxtest::SlotExists(4));
  vxb::DeleteInstallKey(Record("Amber", 1, 0, 0, 0, 3));  // already gone: ignored
  uint32_t total = 0;
  ASSERT_TRUE(vxtest::ReadTotal(&total));
  EXPECT_EQ(total, 5u);
}

}  // namespace
