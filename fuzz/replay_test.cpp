// Every corpus file run through its fuzz target as an ordinary test: inputs
// that once found a problem stay fixed, and the invariants are checked in
// every build, Windows included.
#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace {

namespace fs = std::filesystem;

struct Target {
  const char* name;
  int (*run)(const uint8_t* data, size_t size);
};

const Target kTargets[] = {VXB_FUZZ_TARGET_LIST};

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryInputKeepsTheInvariants) {
  int replayed = 0;
  for (const fs::directory_entry& file : fs::directory_iterator(fs::path(VXB_FUZZ_CORPUS) / GetParam().name)) {
    ++replayed;
    std::ifstream in(file.path(), std::ios::binary);
    ASSERT_TRUE(in.is_open()) << "cannot read " << file.path();
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    static const uint8_t kNothing = 0;  // libFuzzer hands over a valid pointer even when empty
    try {
      GetParam().run(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << file.path().filename().string() << ": " << e.what();
    }
  }
  EXPECT_GT(replayed, 0) << "no corpus";
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& entry) { return std::string(entry.param.name); });

TEST(Corpus, EveryFolderBelongsToATarget) {
  for (const fs::directory_entry& folder : fs::directory_iterator(VXB_FUZZ_CORPUS)) {
    const std::string name = folder.path().filename().string();
    EXPECT_TRUE(std::any_of(std::begin(kTargets), std::end(kTargets), [&](const Target& t) { return name == t.name; }))
        << name;
  }
}

}  // namespace
