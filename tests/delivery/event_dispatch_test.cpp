#include "delivery/event_dispatch.h"

#include <gtest/gtest.h>

#include "delivery/commands.h"
#include "delivery/spool_file_name.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_link_port.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using test::FakeClock;
using test::FakeLinkPort;
using test::FaultyFileSystem;
using test::ReadFileBytes;
using test::RecordingOperatorLog;
using test::TempDir;

const DateTime kWhen = EncodeDateTime({2026, 12, 8, 20, 25, 30, 123});

// An event as reception raises it: complete, its time included.
EventRecord Event(std::uint8_t statusFlag, std::array<char, 2> code = {'4', '1'},
                  DateTime when = kWhen) {
  EventRecord r;
  r.TransmitterId = 0x123456;
  r.FirstNumber = 1;
  r.StatusFlag = statusFlag;
  r.EventCode = code;
  r.EventTime = when;
  return r;
}

class EventDispatchTest : public ::testing::Test {
 protected:
  EventDispatchTest() : clock_(kWhen) {}

  std::size_t SpoolFiles() const {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp_.Path())) {
      n += location_.IsSpoolName(e.path().filename().string()) ? 1 : 0;
    }
    return n;
  }

  TempDir tmp_;
  SpoolLocation location_{tmp_.Path(), ""};
  FaultyFileSystem fs_;
  FakeClock clock_;
  RecordingOperatorLog log_;
  Spool spool_{location_, fs_, clock_, log_};
  FakeLinkPort link_;
  EventDispatch dispatch_{link_, spool_};
};

TEST_F(EventDispatchTest, OnlineTheFileIsWrittenFirstAndThePacketRefersToIt) {
  link_.online = true;
  dispatch_.Raise(Event(1));
  const auto packets = link_.Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].command, cmdEvent);
  EXPECT_EQ(packets[0].file, tmp_ / "2D94DB0B.dd8");
  const Bytes onDisk = ReadFileBytes(packets[0].file);
  ASSERT_EQ(onDisk.size(), 23u);
  EXPECT_TRUE(std::equal(onDisk.begin() + 4, onDisk.end(), packets[0].payload.begin()));
  const Bytes expectedHead = {0x56, 0x34, 0x12, 0x00, 0x01, 0x01, 0x02, 0x34, 0x31, 0x00, 0x00};
  ASSERT_EQ(packets[0].payload.size(), 19u);
  EXPECT_TRUE(std::equal(expectedHead.begin(), expectedHead.end(), packets[0].payload.begin()));
  EXPECT_EQ(GetF64(packets[0].payload.data() + 11), kWhen);
  EXPECT_EQ(SpoolFiles(), 1u);
}

TEST_F(EventDispatchTest, OfflineWritesOneSpoolFileNamedByTheClock) {
  dispatch_.Raise(Event(0));
  const Bytes content = ReadFileBytes(tmp_ / "2D94DB0B.dd8");
  ASSERT_EQ(content.size(), 23u);
  EXPECT_EQ(GetU32(content.data()), static_cast<std::uint32_t>(cmdEvent));
  const auto record = DecodeEventRecord(ByteView(content).subspan(4));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->StatusFlag, 0);
  EXPECT_EQ(record->EventTime, kWhen);
  EXPECT_EQ(link_.Offered(), 0);
}

TEST_F(EventDispatchTest, ARefusedPacketLeavesItsFileInTheBacklog) {
  link_.online = true;
  link_.accept = false;
  dispatch_.Raise(Event(1));
  EXPECT_EQ(link_.Offered(), 1);
  EXPECT_EQ(SpoolFiles(), 1u);
}

TEST_F(EventDispatchTest, AnEventTheDiskRefusesIsNotOfferedUntilTheRetry) {
  link_.online = true;
  fs_.Fail(FaultyFileSystem::Op::WriteNew);
  dispatch_.Raise(Event(1));
  EXPECT_EQ(link_.Offered(), 0) << "nothing reaches the link before it is written";
  EXPECT_EQ(spool_.PendingCount(), 1u);
  ASSERT_EQ(spool_.PendingDescriptions().size(), 1u);
  EXPECT_NE(spool_.PendingDescriptions()[0].find("123456"), std::string::npos);
  EXPECT_NE(spool_.PendingDescriptions()[0].find("41"), std::string::npos);
  // Kept in memory, it travels from there while the disk still refuses.
  spool_.RetryPending(&link_);
  ASSERT_EQ(link_.Packets().size(), 1u);
  EXPECT_TRUE(link_.Packets()[0].file.empty());
}

TEST_F(EventDispatchTest, AnEventThatCannotBeSpooledIsKeptForTheNextTick) {
  fs_.Fail(FaultyFileSystem::Op::WriteNew);
  dispatch_.Raise(Event(1));
  EXPECT_EQ(spool_.PendingCount(), 1u);
  EXPECT_EQ(log_.Lines().size(), 1u);
  fs_.HealAll();
  spool_.RetryPending(&link_);
  EXPECT_EQ(SpoolFiles(), 1u);
}

TEST_F(EventDispatchTest, EachEventGoesOutAsRaisedWithItsOwnTime) {
  link_.online = true;
  EventRecord event = Event(1);
  dispatch_.Raise(event);
  // The caller's record changes afterwards; what was raised does not.
  event.EventCode = {'5', '1'};
  event.StatusFlag = 0;
  event.EventTime = kWhen + 5 / kMsPerDay;
  clock_.AdvanceMs(60000);  // the dispatcher's clock plays no part
  dispatch_.Raise(event);
  const auto packets = link_.Packets();
  ASSERT_EQ(packets.size(), 2u);
  const auto first = DecodeEventRecord(packets[0].payload);
  const auto second = DecodeEventRecord(packets[1].payload);
  EXPECT_EQ(first->EventCode, (std::array<char, 2>{'4', '1'}));
  EXPECT_EQ(first->StatusFlag, 1);
  EXPECT_EQ(second->EventCode, (std::array<char, 2>{'5', '1'}));
  EXPECT_EQ(second->StatusFlag, 0);
  EXPECT_EQ(first->EventTime, kWhen);
  EXPECT_EQ(second->EventTime, kWhen + 5 / kMsPerDay);
}

TEST_F(EventDispatchTest, SetLinkSendsLaterEventsToTheNewLink) {
  OfflineLink offline;
  EventDispatch dispatch(offline, spool_);
  dispatch.Raise(Event(0));
  EXPECT_EQ(SpoolFiles(), 1u);
  link_.online = true;
  dispatch.SetLink(link_);
  dispatch.Raise(Event(0));
  EXPECT_EQ(link_.Packets().size(), 1u);
  EXPECT_EQ(SpoolFiles(), 2u);
}

}  // namespace
}  // namespace kestrel
