// Every corpus file run through its fuzz target as an ordinary test: inputs
// that once found a problem stay fixed, and the invariants are checked in
// every build, Windows included.
#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace fs = std::filesystem;

TEST(CorpusReplay, EveryFolderIsATargetAndEveryInputKeepsItsInvariants) {
  std::map<std::string, int (*)(const uint8_t*, size_t)> targets = {VXB_FUZZ_TARGET_LIST};
  for (const fs::directory_entry& folder : fs::directory_iterator(VXB_FUZZ_CORPUS)) {
    const std::string name = folder.path().filename().string();
    const auto target = targets.find(name);
    ASSERT_TRUE(target != targets.end()) << "a corpus without a target: " << name;
    EXPECT_FALSE(fs::is_empty(folder.path())) << "an empty corpus: " << name;
    for (const fs::directory_entry& file : fs::directory_iterator(folder.path())) {
      std::ifstream in(file.path(), std::ios::binary);
      ASSERT_TRUE(in.is_open()) << "cannot read " << file.path();
      const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      static const uint8_t kNothing = 0;  // libFuzzer hands over a valid pointer even when empty
      try {
        target->second(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
      } catch (const std::exception& e) {
        ADD_FAILURE() << name << "/" << file.path().filename().string() << ": " << e.what();
      }
    }
    targets.erase(target);
  }
  for (const auto& missing : targets) ADD_FAILURE() << "a target without a corpus: " << missing.first;
}
