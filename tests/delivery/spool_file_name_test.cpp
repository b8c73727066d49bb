#include "delivery/spool_file_name.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

struct NameCase {
  DateTimeFields when;
  const char* name;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class SpoolFileNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(SpoolFileNameTest, NamesTheMillisecondOfTheMonthInUpperCaseHex) {
  const NameCase& c = GetParam();
  EXPECT_EQ(SpoolFileName(EncodeDateTime(c.when)), c.name);
  const auto back = ParseSpoolNumber(c.name);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, SpoolFileNumber(EncodeDateTime(c.when)));
}

INSTANTIATE_TEST_SUITE_P(Months, SpoolFileNameTest,
                         ::testing::Values(
                             // First and last millisecond of a month.
                             NameCase{{2026, 3, 1, 0, 0, 0, 0}, "5265C00"},
                             NameCase{{2026, 1, 31, 23, 59, 59, 999}, "A4CB7FFF"},
                             // The 8th at 20:25:30.123: 764 730 123.
                             NameCase{{2026, 12, 8, 20, 25, 30, 123}, "2D94DB0B"},
                             // The switch from 7 to 8 digits, on the 3rd.
                             NameCase{{2026, 12, 3, 2, 33, 55, 455}, "FFFFFFF"},
                             NameCase{{2026, 12, 3, 2, 33, 55, 456}, "10000000"},
                             // Beyond the signed 32-bit range, late on the 24th.
                             NameCase{{2026, 12, 24, 20, 31, 23, 647}, "7FFFFFFF"},
                             NameCase{{2026, 12, 24, 20, 31, 23, 648}, "80000000"},
                             // Names repeat from one month to the next.
                             NameCase{{2027, 1, 8, 20, 25, 30, 123}, "2D94DB0B"}),
                         [](const auto& info) {
                           return std::string(info.param.name) + "_" + std::to_string(info.index);
                         });

TEST(SpoolNumber, ParsesOnlyOneToEightHexDigits) {
  EXPECT_EQ(ParseSpoolNumber("a4cb7fff"), 0xA4CB7FFFu);
  EXPECT_EQ(ParseSpoolNumber("0"), 0u);
  for (const char* bad : {"", "123456789", "12G4", "-1", "0x12", " 12"}) {
    EXPECT_FALSE(ParseSpoolNumber(bad).has_value()) << bad;
  }
  EXPECT_EQ(SpoolNumberText(0), "0");
  EXPECT_EQ(SpoolNumberText(0xFFFFFFFFu), "FFFFFFFF");
}

}  // namespace
}  // namespace kestrel
