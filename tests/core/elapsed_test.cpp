#include <gtest/gtest.h>

#include <chrono>

#include "lumora/core/elapsed.h"

namespace lumora {

TEST(FormatElapsed, WholeSecondsWithTheLargerUnitsWhenNotZero) {
  EXPECT_EQ(format_elapsed(3725), "1h 2m 5s");
  EXPECT_EQ(format_elapsed(3600), "1h 0m 0s");
  EXPECT_EQ(format_elapsed(125), "2m 5s");
  EXPECT_EQ(format_elapsed(59.9), "59s");
  EXPECT_EQ(format_elapsed(0.4), "0s");
  EXPECT_EQ(format_elapsed(60), "1m 0s");
  // Against the wall clock the sub-second remainder is truncated away.
  EXPECT_EQ(elapsed_since(wall_time() - 3725.2), "1h 2m 5s");
  EXPECT_EQ(elapsed_since(wall_time() - 125.3), "2m 5s");
  EXPECT_EQ(elapsed_since(wall_time() - 59.9), "59s");
  EXPECT_EQ(elapsed_since(wall_time() - 0.4), "0s");
}

TEST(ClockText, MinutesAndHours) {
  EXPECT_EQ(clock_text(0), "00:00");
  EXPECT_EQ(clock_text(75.9), "01:15");
  EXPECT_EQ(clock_text(3725), "1:02:05");
  EXPECT_EQ(clock_text(-3), "00:00");
}

TEST(SecondsSince, ReadsTheSteadyClock) {
  const auto start = std::chrono::steady_clock::now() - std::chrono::milliseconds(1500);
  const double s = seconds_since(start);
  EXPECT_GE(s, 1.5);
  EXPECT_LT(s, 60.0);
}

}  // namespace lumora
