#include "receiver/event_rules.h"

#include <gtest/gtest.h>

#include "tests/receiver/event_test_fixture.h"

namespace kestrel {
namespace {

using Codes = std::vector<std::string>;

constexpr TransmitterId kId = 0x123456;

class EventRulesTest : public test::EventTest {
 protected:
  // Hands one report of kId to the rules, as the serial input does.
  Codes Report(std::uint8_t status1, std::uint8_t status2, TransmitterId id = kId) {
    Apply(status1, status2, id);
    return TakeCodes();
  }
  void Apply(std::uint8_t status1, std::uint8_t status2, TransmitterId id = kId) {
    ReceiverFrame frame;
    frame.IdHigh = static_cast<std::uint8_t>(id >> 16);
    frame.IdMid = static_cast<std::uint8_t>(id >> 8);
    frame.IdLow = static_cast<std::uint8_t>(id);
    frame.Status1 = status1;
    frame.Status2 = status2;
    ApplyFrame(frame, table_.FindOrAdd(id), ctx_);
  }
};

struct ChangeCase {
  const char* what;
  std::uint8_t stored1, stored2;  // the record before the report
  std::uint8_t frame1, frame2;    // the report
  Codes codes;
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.what; }

class EventRuleChangeTest : public EventRulesTest,
                            public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(EventRuleChangeTest, RaisesTheCodesOfTheRulesThatApplyInOrder) {
  const ChangeCase& c = GetParam();
  Store(kId, c.stored1, c.stored2, clock_.Now());
  TakeEvents();
  EXPECT_EQ(Report(c.frame1, c.frame2), c.codes);
}

// Status2 keeps bit 2 alone set (4) where a case is about Status1 only, so orders
// 1 to 4 stay quiet.
INSTANTIATE_TEST_SUITE_P(
    Rules, EventRuleChangeTest,
    ::testing::Values(
        // Orders 1 to 4: Status2 bits 2 and 3.
        ChangeCase{"s2_both_clear_every_report", 0, 0, 0, 0, {"39"}},
        ChangeCase{"s2_both_set_every_report", 0, 12, 0, 12, {"31"}},
        ChangeCase{"s2_bit2_rises", 0, 0, 0, 4, {"37"}},
        ChangeCase{"s2_bit2_falls_to_both_clear", 0, 4, 0, 0, {"39"}},
        ChangeCase{"s2_bit3_rises_beside_bit2_gives_31_only", 0, 4, 0, 12, {"31"}},
        ChangeCase{"s2_bit2_falls_leaving_bit3", 0, 12, 0, 8, {}},
        ChangeCase{"s2_bit3_rises_alone", 0, 0, 0, 8, {"38"}},
        ChangeCase{"s2_bits_swap", 0, 8, 0, 4, {"37"}},
        // Orders 5 to 14: each tested Status1 bit, each direction.
        ChangeCase{"s1_bit6_rises", 0x00, 4, 0x40, 4, {"41"}},
        ChangeCase{"s1_bit6_falls", 0x40, 4, 0x00, 4, {"51"}},
        ChangeCase{"s1_bit1_rises", 0x00, 4, 0x02, 4, {"42"}},
        ChangeCase{"s1_bit1_falls", 0x02, 4, 0x00, 4, {"52"}},
        ChangeCase{"s1_bit3_rises", 0x00, 4, 0x08, 4, {"43"}},
        ChangeCase{"s1_bit3_falls", 0x08, 4, 0x00, 4, {"53"}},
        ChangeCase{"s1_bit5_rises", 0x00, 4, 0x20, 4, {"44"}},
        ChangeCase{"s1_bit5_falls", 0x20, 4, 0x00, 4, {"54"}},
        ChangeCase{"s1_bit2_rises", 0x00, 4, 0x04, 4, {"45"}},
        ChangeCase{"s1_bit2_falls", 0x04, 4, 0x00, 4, {"55"}},
        // Several at once come in rule order, Status2 first.
        ChangeCase{"all_rise", 0x00, 0, 0x6E, 4, {"37", "41", "42", "43", "44", "45"}},
        ChangeCase{"all_fall", 0x6E, 4, 0x00, 0, {"39", "51", "52", "53", "54", "55"}},
        ChangeCase{"mixed", 0x46, 4, 0x28, 4, {"51", "52", "43", "44", "55"}},
        // Bits that raise nothing.
        ChangeCase{"s1_untested_bits", 0x00, 4, 0x91, 4, {}},
        ChangeCase{"s1_untested_bits_fall", 0x91, 4, 0x00, 4, {}},
        ChangeCase{"s2_untested_bits", 0x00, 4, 0x00, 0xF7, {}},
        ChangeCase{"unchanged", 0x46, 4, 0x46, 4, {}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(EventRulesTest, FirstReportOfANewTransmitterComparesWithTheInitialRecord) {
  struct {
    std::uint8_t status1, status2;
    Codes codes;
  } cases[] = {
      {0x46, 4, {"41", "42", "45"}},  // no "37": the new record has bit 2 set
      {0x46, 132, {"41", "42", "45"}},      {0x00, 8, {"38"}}, {0x00, 0, {"39"}},
      {0x2A, 12, {"31", "42", "43", "44"}},
  };
  TransmitterId id = 0x010000;
  for (const auto& c : cases) {
    ++id;
    ASSERT_FALSE(table_.Find(id).has_value());
    EXPECT_EQ(Report(c.status1, c.status2, id), c.codes) << int(c.status1) << "/" << int(c.status2);
  }
}

TEST_F(EventRulesTest, StatusFlagIsBit7OfStatus2InEveryEventOfTheReport) {
  for (const std::uint8_t status2 : {std::uint8_t{132}, std::uint8_t{4}}) {
    Store(kId, 0, 4, clock_.Now(), /*noTestFlag=*/1);
    TakeEvents();
    Apply(0x46, status2);
    const auto events = TakeEvents();
    ASSERT_EQ(events.size(), 4u);  // 41 42 45 71
    for (const EventRecord& e : events) {
      EXPECT_EQ(e.StatusFlag, status2 >> 7);
      EXPECT_EQ(e.TransmitterId, kId);
      EXPECT_EQ(e.FirstNumber, 1);
      EXPECT_EQ(e.EventTime, clock_.Now());
    }
  }
}

TEST_F(EventRulesTest, FirstNumberContributesItsLowEightBits) {
  for (const auto& [setting, byte] : {std::pair{300, 44}, {1, 1}, {-1, 255}, {256, 0}}) {
    ctx_.FirstNumber = setting;
    Apply(0, 0);
    const auto events = TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].FirstNumber, byte) << setting;
  }
}

TEST_F(EventRulesTest, HeardAgainAfterANoTestEventRaises71LastAndClearsTheFlag) {
  Store(kId, 0, 4, clock_.Now() - 1, /*noTestFlag=*/1);
  TakeEvents();
  EXPECT_EQ(Report(0, 4), Codes{"71"});
  Store(kId, 0, 4, clock_.Now() - 1, /*noTestFlag=*/1);
  TakeEvents();
  EXPECT_EQ(Report(0x40, 4), (Codes{"41", "71"}));
  EXPECT_EQ(table_.RecordAt(*table_.Find(kId)).NoTestFlag, 0);
  EXPECT_EQ(Report(0x40, 4), Codes{});  // once only
}

TEST_F(EventRulesTest, StoresTheReportAndTheTimeInTheRecordAndTheFile) {
  const TablePosition pos = Store(kId, 0x11, 0x22, clock_.Now() - 1, 1);
  clock_.AdvanceMs(1234);
  Report(0x46, 0x84);
  const TransmitterRecord r = table_.RecordAt(pos);
  EXPECT_EQ(r.Status1, 0x46);
  EXPECT_EQ(r.Status2, 0x84);
  EXPECT_EQ(r.LastHeard, clock_.Now());
  EXPECT_EQ(r.NoTestFlag, 0);
  EXPECT_EQ(r.Id(), kId);
  EXPECT_EQ(test::ReadFileBytes(tmp_ / "num.mmm"), table_.Image());
}

TEST_F(EventRulesTest, EventsGoToSpoolFilesWhileTheLinkIsOffline) {
  link_.online = false;
  Report(0x46, 4, 0x777777);  // a new transmitter: 41, 42, 45
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(tmp_.Path())) {
    if (spool_.Location().IsSpoolName(e.path().filename().string())) {
      ++files;
      EXPECT_EQ(std::filesystem::file_size(e.path()), 23u);
    }
  }
  EXPECT_EQ(files, 3u);
}

}  // namespace
}  // namespace kestrel
