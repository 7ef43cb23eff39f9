// Atomic writes against real files: a full disk is played by a file-size
// limit, so the stream fails part-way exactly as it would there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
using testing::entries;
using testing::error_of;
using testing::read_file;
using testing::TempDir;

void write_plain(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

}  // namespace

TEST(AtomicFile, ReplacesTheFileWholeAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.file("w.bin");
  write_plain(path, "old contents that are longer than the new ones");
  write_binary_file(path, {'n', 'e', 'w'});
  EXPECT_EQ(read_file(path), "new");
  write_text_file(path, "text\n");
  EXPECT_EQ(read_file(path), "text\n");
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"w.bin"});
}

TEST(AtomicFile, AStreamThatFailsPartWayLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  const std::string path = dir.file("w.bin");
  write_plain(path, "old");
  const std::vector<char> big(64 * 1024, 'x');
  std::string message;
  {
    testing::FileSizeLimit limit(4096);
    message = error_of<RuntimeError>([&] { write_binary_file(path, big); });
  }
  EXPECT_EQ(message, "failed to write '" + path + "': File too large");
  EXPECT_EQ(read_file(path), "old");
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"w.bin"});
}

TEST(AtomicFile, AShortTextFlushedOnlyAtCloseStillFails) {
  TempDir dir;
  const std::string path = dir.file("m.json");
  std::string message;
  {
    testing::FileSizeLimit limit(10);
    message = error_of<RuntimeError>([&] { write_text_file(path, std::string(100, 'y')); });
  }
  EXPECT_EQ(message, "failed to write '" + path + "': File too large");
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(AtomicFile, AFolderThatIsMissingNamesThePath) {
  TempDir dir;
  const std::string path = dir.file("missing/w.bin");
  EXPECT_EQ(error_of<FileNotFoundError>([&] { write_binary_file(path, {'a'}); }),
            "cannot open '" + path + "' for writing");
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(AtomicFile, AFailedRenameGivesTheReasonAndRemovesTheTemporary) {
  TempDir dir;
  const std::string path = dir.file("taken");
  fs::create_directory(path);
  write_plain(path + "/inside", "keeps the folder from being replaced");
  const std::string reason = std::make_error_code(std::errc::is_a_directory).message();
  EXPECT_EQ(error_of<RuntimeError>([&] { write_text_file(path, "x"); }), "cannot write '" + path + "': " + reason);
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"taken"});

  AtomicFile file(path);
  write_plain(file.temporary(), "x");
  EXPECT_TRUE(file.try_commit() == std::errc::is_a_directory);
  EXPECT_FALSE(fs::exists(file.temporary()));
}

TEST(AtomicFile, AnErrorBeforeCommitRemovesTheTemporary) {
  TempDir dir;
  const std::string path = dir.file("w.bin");
  try {
    AtomicFile file(path);
    EXPECT_EQ(file.temporary(), path + ".part");
    write_plain(file.temporary(), "half");
    ASSERT_TRUE(fs::exists(file.temporary()));
    throw ValueError("the writer gave up");
  } catch (const ValueError&) {
  }
  EXPECT_TRUE(entries(dir.path()).empty());

  {
    AtomicFile file(path);
    write_plain(file.temporary(), "whole");
    file.commit();
  }
  EXPECT_EQ(read_file(path), "whole");
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"w.bin"});
}

}  // namespace lumora
