// Replays every stored input of one fuzz harness, its seed corpus and its
// regressions (tests/fuzz/{corpus,regressions}/<harness>/), through the real
// loaders of the normal build: each must load or fail with a project error.
// The files are listed when the test runs, so a new regression needs no
// rebuild.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> stored_inputs() {
  std::vector<std::string> files;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(LUMORA_FUZZ_DIR) / kind / LUMORA_FUZZ_NAME;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class Replay : public ::testing::TestWithParam<std::string> {};

TEST_P(Replay, LoadsOrFailsWithAProjectError) {
  std::ifstream in(GetParam(), std::ios::binary);
  ASSERT_TRUE(in) << GetParam();
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    lumora::fuzz::one_input(bytes.data(), bytes.size());
  } catch (const std::exception& e) {
    ADD_FAILURE() << GetParam() << ": not a project error: " << e.what();
  }
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  const fs::path p(info.param);
  std::string name = p.parent_path().parent_path().filename().string() + "_" + p.filename().string();
  for (auto& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name + "_" + std::to_string(info.index);
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Replay);
INSTANTIATE_TEST_SUITE_P(Stored, Replay, ::testing::ValuesIn(stored_inputs()), test_name);

}  // namespace
