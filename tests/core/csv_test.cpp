#include <gtest/gtest.h>

#include "lumora/core/csv.h"
#include "lumora/core/errors.h"
#include "support/testing.h"

namespace lumora {

TEST(Csv, WritesCrLfAndQuotesOnlyWhenNeeded) {
  testing::TempDir dir;
  const auto path = dir.file("a.csv");
  {
    CsvWriter w(path);
    w.write_row({"epoch", "loss"});
    w.write_row({"1", "0.5000"});
    w.write_row({"a,b", "say \"hi\"", "line\nbreak", "plain"});
    w.write_row({""});
  }
  EXPECT_EQ(testing::read_file(path),
            "epoch,loss\r\n1,0.5000\r\n\"a,b\",\"say \"\"hi\"\"\",\"line\nbreak\",plain\r\n\"\"\r\n");
}

TEST(Csv, AppendKeepsEarlierRows) {
  testing::TempDir dir;
  const auto path = dir.file("a.csv");
  { CsvWriter(path).write_row({"h"}); }
  { CsvWriter(path, /*append=*/true).write_row({"1"}); }
  { CsvWriter(path, /*append=*/true).write_row({"2"}); }
  EXPECT_EQ(testing::read_file(path), "h\r\n1\r\n2\r\n");
  { CsvWriter(path).write_row({"x"}); }
  EXPECT_EQ(testing::read_file(path), "x\r\n");
}

TEST(Csv, UnwritablePathNamesTheFile) {
  try {
    CsvWriter w("/nonexistent-dir/x.csv");
    FAIL();
  } catch (const FileNotFoundError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/x.csv"), std::string::npos);
  }
}

}  // namespace lumora
