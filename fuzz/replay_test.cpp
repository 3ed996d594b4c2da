// Every corpus file of every fuzz target, run through its target as an
// ordinary test: the inputs that once found a problem stay fixed, and the
// targets' invariants are checked in every build, Windows included.
#include <gtest/gtest.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_corpus_list.h"

namespace {

using vxbfuzz::Target;

bool ReadWhole(const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) bytes->insert(bytes->end(), block, block + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

std::string TargetOf(const std::string& file) { return file.substr(0, file.find('/')); }

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryInputKeepsTheInvariants) {
  const Target& target = GetParam();
  int replayed = 0;
  for (const char* const* f = vxbfuzz::kCorpusFiles; *f != nullptr; ++f) {
    const std::string file = *f;
    if (TargetOf(file) != target.name) continue;
    ++replayed;
    std::vector<uint8_t> bytes;
    const std::string path = std::string(vxbfuzz::kCorpusRoot) + "/" + file;
    if (!ReadWhole(path, &bytes)) {
      ADD_FAILURE() << "cannot read " << path;
      continue;
    }
    // A target is handed a valid pointer even for an empty input, as
    // libFuzzer does.
    static const uint8_t kNothing = 0;
    const uint8_t* data = bytes.empty() ? &kNothing : bytes.data();
    try {
      target.run(data, bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << file << ": " << e.what();
    }
  }
  EXPECT_GT(replayed, 0) << "no corpus for " << target.name;
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(vxbfuzz::kTargets),
                         [](const ::testing::TestParamInfo<Target>& entry) {
                           return std::string(entry.param.name);
                         });

TEST(Corpus, EveryFolderBelongsToATarget) {
  for (const char* const* f = vxbfuzz::kCorpusFiles; *f != nullptr; ++f) {
    const std::string target = TargetOf(*f);
    bool known = false;
    for (const Target& t : vxbfuzz::kTargets) known = known || target == t.name;
    EXPECT_TRUE(known) << *f << ": no fuzz target " << target;
  }
}

}  // namespace
