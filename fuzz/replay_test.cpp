// Every corpus file run through its fuzz target as an ordinary test: inputs
// that once found a problem stay fixed, and the invariants are checked in
// every build, Windows included.
#include <gtest/gtest.h>

#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_corpus_list.h"

namespace {

struct Target {
  const char* name;
  int (*run)(const uint8_t* data, size_t size);
};

const Target kTargets[] = {VXB_FUZZ_TARGET_LIST};

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryInputKeepsTheInvariants) {
  const std::string prefix = std::string(GetParam().name) + "/";
  int replayed = 0;
  for (const char* file : kCorpusFiles) {
    if (std::string(file).rfind(prefix, 0) != 0) continue;
    ++replayed;
    std::ifstream in(std::string(kCorpusRoot) + "/" + file, std::ios::binary);
    ASSERT_TRUE(in.is_open()) << "cannot read " << file;
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    static const uint8_t kNothing = 0;  // libFuzzer hands over a valid pointer even when empty
    try {
      GetParam().run(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << file << ": " << e.what();
    }
  }
  EXPECT_GT(replayed, 0) << "no corpus";
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& entry) { return std::string(entry.param.name); });

}  // namespace
