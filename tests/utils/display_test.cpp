#include <gtest/gtest.h>
#include <unistd.h>

#include "lumora/utils/display.h"

namespace lumora::display {

// CTest captures standard output, so these run without a terminal.
class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (isatty(STDOUT_FILENO)) GTEST_SKIP() << "needs standard output redirected";
  }
};

TEST_F(DisplayTest, ColourCodesAreEmptyWithoutTerminal) {
  for (const auto* code : {&BOLD, &RESET, &CYAN, &GRAY, &GREEN, &MAGENTA, &RED, &YELLOW}) EXPECT_EQ(*code, "");
  EXPECT_EQ(coloured("text", GREEN), "text");
}

TEST_F(DisplayTest, EpochBarPrintsOnlyValidationLinesWithoutTerminal) {
  ::testing::internal::CaptureStdout();
  epoch_bar(1, 20, 0.5);
  epoch_bar(9, 20, 0.4);
  epoch_bar(10, 20, 0.3, EpochScores{0.25, 0.9, 0.8, 0.85, 0.75});
  epoch_bar(11, 20, 0.2);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  EXPECT_EQ(out.find('\r'), std::string::npos);
  EXPECT_NE(out.find("10/20"), std::string::npos);
  EXPECT_NE(out.find("loss 0.3000"), std::string::npos);
  EXPECT_NE(out.find("val_loss 0.2500"), std::string::npos);
  EXPECT_NE(out.find("mIoU 0.8000"), std::string::npos);
  EXPECT_NE(out.find("kappa 0.7500"), std::string::npos);
}

TEST_F(DisplayTest, BoxesHoldTheirContentOnSeparateLines) {
  ::testing::internal::CaptureStdout();
  print_config_box("LUMORA Predict", {{"Device", "cpu"}, {"Routing", "forest"}});
  print_results_box({{"OA", 0.95}, {"mIoU", 0.5}, {"kappa", 0.25}}, std::string("soft"));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("LUMORA Predict"), std::string::npos);
  EXPECT_NE(out.find("Device   cpu"), std::string::npos);
  EXPECT_NE(out.find("soft"), std::string::npos);
  EXPECT_NE(out.find("OA        0.9500"), std::string::npos);
  EXPECT_NE(out.find("kappa     0.2500"), std::string::npos);
  // Every box line is equally wide.
  std::vector<size_t> widths;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end - start);
    if (line.rfind("║", 0) == 0 || line.rfind("╔", 0) == 0) {
      size_t cps = 0;
      for (unsigned char ch : line) cps += (ch & 0xC0) != 0x80;
      widths.push_back(cps);
    }
    start = end + 1;
  }
  ASSERT_GE(widths.size(), 4u);
  EXPECT_EQ(widths[0], widths[1]);
  EXPECT_EQ(widths[0], widths[2]);
}

TEST_F(DisplayTest, PerClassIouListsEveryClassWithCounts) {
  ::testing::internal::CaptureStdout();
  print_per_class_iou({{1, 0.5}, {3, 1.0}}, std::map<int64_t, int64_t>{{1, 1200}, {3, 7}});
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Class   1: 0.5000"), std::string::npos);
  EXPECT_NE(out.find("(1,200 px)"), std::string::npos);
  EXPECT_NE(out.find("Class   3: 1.0000"), std::string::npos);
}

TEST_F(DisplayTest, NextStepHintFitsWhatWasSaved) {
  ::testing::internal::CaptureStdout();
  print_save_and_next({"runs/tree", "spt_models.pkl", "d.mat", "g.mat", 0.3, 0.1});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nSaved → runs/tree/spt_models.pkl\nNext: predict with\n"
            "  lumora-predict --model runs/tree/spt_models.pkl --data d.mat --gt g.mat --train_ratio 0.3 "
            "--val_ratio 0.1\n");
  ::testing::internal::CaptureStdout();
  print_save_and_next({"runs/net", "best_model.pth", "d.mat", "g.mat", 0.2, 0.1});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nSaved → runs/net/best_model.pth\nNext: load these weights into a network of the same sizes "
            "(--base_filters, --num_filters, --num_blocks)\n");
}

TEST_F(DisplayTest, NextStepHintNamesASeedOtherThanTheDefault) {
  ::testing::internal::CaptureStdout();
  print_save_and_next({"out", "spt_models.pkl", "d.mat", "g.mat", 0.2, 0.1, 7});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nSaved → out/spt_models.pkl\nNext: predict with\n"
            "  lumora-predict --model out/spt_models.pkl --data d.mat --gt g.mat --train_ratio 0.2 "
            "--val_ratio 0.1 --seed 7\n");
  ::testing::internal::CaptureStdout();
  print_save_and_next({"out", "spt_models.pkl", "d.mat", "g.mat", 0.2, 0.1, 42});
  EXPECT_EQ(::testing::internal::GetCapturedStdout().find("--seed"), std::string::npos);
}

TEST_F(DisplayTest, NextStepHintLeavesAnyOtherSplitToTheBundlesRecord) {
  // Ratios would draw a split whose test pixels overlap the tree's training pixels.
  ::testing::internal::CaptureStdout();
  print_save_and_next({"out", "spt_models.pkl", "d.mat", "g.mat", 0.2, 0.1, 7, /*plain_ratios=*/false});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nSaved → out/spt_models.pkl\nNext: predict with\n"
            "  lumora-predict --model out/spt_models.pkl --data d.mat --gt g.mat\n");
  ::testing::internal::CaptureStdout();
  print_save_and_next({"out", "spt_models.pkl", "d.mat", "", 0.2, 0.1, 42, false});
  EXPECT_EQ(::testing::internal::GetCapturedStdout().find("--gt"), std::string::npos);
}

// Without a terminal every colour is empty text, so the colour chosen is
// told apart by which of the named codes comes back.
TEST(ScoreColour, SceneAndEnsembleTablesKeepTheirThresholds) {
  EXPECT_EQ(&score_colour(0.95), &GREEN);
  EXPECT_EQ(&score_colour(0.9), &GREEN);
  EXPECT_EQ(&score_colour(0.8999), &YELLOW);
  EXPECT_EQ(&score_colour(0.7), &YELLOW);
  EXPECT_EQ(&score_colour(0.6999), &RED);
  EXPECT_EQ(&score_colour(-0.1), &RED);
  EXPECT_EQ(&score_colour(0.7, kEnsembleScoreBands), &GREEN);
  EXPECT_EQ(&score_colour(0.65, kEnsembleScoreBands), &GREEN);
  EXPECT_EQ(&score_colour(0.6499, kEnsembleScoreBands), &YELLOW);
  EXPECT_EQ(&score_colour(0.45, kEnsembleScoreBands), &YELLOW);
  EXPECT_EQ(&score_colour(0.4499, kEnsembleScoreBands), &RED);
}

}  // namespace lumora::display
