#include "window/access_code.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrel {
namespace {

TEST(AccessCode, DrawsCoverTheWholeRangeAndNothingElse) {
  std::mt19937 generator(12345);
  int lowest = kAccessCodeMax;
  int highest = kAccessCodeMin;
  int outside = 0;
  for (int i = 0; i < 2'000'000; ++i) {
    const int code = DrawAccessCode(generator);
    if (code < kAccessCodeMin || code > kAccessCodeMax) ++outside;
    lowest = std::min(lowest, code);
    highest = std::max(highest, code);
  }
  EXPECT_EQ(outside, 0);
  EXPECT_EQ(lowest, 10000);   // can occur
  EXPECT_EQ(highest, 99998);  // 99999 never does
}

TEST(AccessCode, DrawsAreUniform) {
  // Ten equal bins of the 89999 values: each gets a tenth of the draws, within a
  // few standard deviations.
  std::mt19937 generator(777);
  constexpr int kDraws = 900'000;
  int bins[10] = {};
  for (int i = 0; i < kDraws; ++i) {
    const int r = DrawAccessCode(generator) - kAccessCodeMin;
    ++bins[std::min(9, r / 9000)];
  }
  for (int b = 0; b < 9; ++b) EXPECT_NEAR(bins[b], kDraws * 9000.0 / 89999, 1500) << b;
}

TEST(AccessCode, EveryStartDrawsAFreshFiveDigitCode) {
  std::set<std::string> seen;
  for (int i = 0; i < 5; ++i) {
    const std::string code = MakeAccessCode();
    ASSERT_EQ(code.size(), 5u) << code;
    const int value = std::stoi(code);
    EXPECT_GE(value, kAccessCodeMin);
    EXPECT_LE(value, kAccessCodeMax);
    seen.insert(code);
  }
  EXPECT_GT(seen.size(), 1u);  // not one fixed seed
}

}  // namespace
}  // namespace kestrel
