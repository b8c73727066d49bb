// Delivery as the owner of its layer: events in, spool files while there is no
// link, the link worker started and stopped with a bounded wait, and its status.

#include "delivery/delivery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "delivery/commands.h"
#include "delivery/packet.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/scripted_tcp_client.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using test::FakeClock;
using test::FaultyFileSystem;

constexpr int kWaitMs = 5000;  // bound of every wait on the worker thread

bool WaitFor(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

EventRecord Event(std::uint32_t id) {
  EventRecord r;
  r.TransmitterId = id;
  r.FirstNumber = 1;
  r.EventCode = {'4', '1'};
  r.EventTime = 46000.5;
  return r;
}

class DeliveryTest : public ::testing::Test {
 protected:
  DeliveryTest() {
    // The server answers as the real one does.
    peer_.SetOnWrite([this](ByteView block) {
      const std::int32_t command = PacketCommand(block.subspan(kBlockPrefixSize));
      const std::int32_t reply = command == cmdVersion ? cmdRegistered
                                 : command == cmdEvent ? cmdEventAck
                                                       : cmdKeepAlive;
      peer_.Push(BuildBlock(BuildPacket(reply, 0, {})));
    });
  }

  Delivery& Make() {
    delivery_ = std::make_unique<Delivery>(DeliveryServices{clock_, fs_, log_, peer_.Factory()},
                                           SpoolLocation{dir_.Path(), ""});
    return *delivery_;
  }
  LinkIdentity Identity() {
    return LinkIdentity{"COM1", 1, [] { return true; }, "8.1.4.30",
                        ServerHostFromFolder(fs_, dir_.Path())};
  }

  std::size_t EventsAtServer() const {
    std::size_t n = 0;
    for (const Bytes& b : peer_.Writes())
      n += PacketCommand(ByteView(b).subspan(kBlockPrefixSize)) == cmdEvent ? 1 : 0;
    return n;
  }

  test::TempDir dir_;
  FakeClock clock_;
  test::ScriptedPeer peer_{clock_};
  FaultyFileSystem fs_;
  test::RecordingOperatorLog log_;
  std::unique_ptr<Delivery> delivery_;
};

TEST_F(DeliveryTest, WithoutALinkEventsWaitInSpoolFiles) {
  Delivery& d = Make();
  d.Raise(Event(1));
  d.Raise(Event(2));
  const DeliveryStatus s = d.Status();
  EXPECT_FALSE(s.online);
  EXPECT_FALSE(s.registered);
  EXPECT_EQ(s.backlog, 2u);
  EXPECT_FALSE(s.lastSignOfLifeTick.has_value());
  EXPECT_EQ(peer_.ConnectAttempts(), 0);
  d.Tick();  // nothing to hand them to
  EXPECT_EQ(d.Status().backlog, 2u);
}

TEST_F(DeliveryTest, StartupCompletesWhatACrashLeftHalfWritten) {
  const EventBytes record = EncodeEventRecord(Event(7));
  Bytes content(4 + record.size());
  PutU32(content.data(), static_cast<std::uint32_t>(cmdEvent));
  std::copy(record.begin(), record.end(), content.begin() + 4);
  test::WriteFileBytes(dir_ / "2D94DB0B.dd8.part", content);
  Delivery& d = Make();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "2D94DB0B.dd8.part"));
  EXPECT_EQ(d.Status().backlog, 1u);
}

TEST_F(DeliveryTest, EventsKeptInMemoryCountAsBacklogAndAreRetriedByTheTick) {
  Delivery& d = Make();
  fs_.Fail(FaultyFileSystem::Op::WriteNew);
  d.Raise(Event(1));
  EXPECT_EQ(d.Spool().PendingCount(), 1u);
  EXPECT_EQ(d.Status().backlog, 1u);
  EXPECT_EQ(d.Status().spoolWriteFailures, 1u);
  fs_.HealAll();
  d.Tick();
  EXPECT_EQ(d.Spool().PendingCount(), 0u);
  EXPECT_EQ(d.Status().backlog, 1u);  // now a file
}

TEST_F(DeliveryTest, FinishNamesAndCountsTheEventsThatCouldNotBeWrittenAtAll) {
  Delivery& d = Make();
  fs_.Fail(FaultyFileSystem::Op::WriteNew);
  d.Raise(Event(1));
  d.Raise(Event(2));
  log_.Clear();
  EXPECT_TRUE(d.Finish(100));
  ASSERT_EQ(log_.Lines().size(), 3u);
  EXPECT_EQ(log_.Lines()[0].rfind("Событие не записано на диск и потеряно: событие 41 передатчика "
                                  "000001, файл ",
                                  0),
            0u)
      << log_.Lines()[0];
  EXPECT_EQ(log_.Lines()[2], "Не удалось записать в файлы событий: 2. Они потеряны.");
  EXPECT_EQ(d.UnwrittenEvents(), 2u);
  EXPECT_TRUE(d.Finish(100));  // once
  EXPECT_EQ(log_.Lines().size(), 3u);
}

TEST_F(DeliveryTest, FinishWithTheDiskBackWritesTheKeptEventsAndCountsNothing) {
  Delivery& d = Make();
  fs_.Fail(FaultyFileSystem::Op::WriteNew);
  d.Raise(Event(1));
  fs_.HealAll();
  EXPECT_TRUE(d.Finish(100));
  EXPECT_EQ(d.UnwrittenEvents(), 0u);
  EXPECT_EQ(d.Status().backlog, 1u);
}

TEST_F(DeliveryTest, TheLinkDeliversLiveEventsAndTheSpoolAndShowsItsStatus) {
  Delivery& d = Make();
  d.Raise(Event(1));  // before the link: a spool file
  d.StartLink(Identity());
  ASSERT_NE(d.Worker(), nullptr);
  ASSERT_TRUE(WaitFor([&] { return d.Status().registered; }));
  EXPECT_TRUE(d.Status().online);
  ASSERT_TRUE(d.Status().lastSignOfLifeTick.has_value());
  EXPECT_EQ(*d.Status().lastSignOfLifeTick, clock_.TickMs());
  EXPECT_GT(d.Status().signsOfLife, 0u);  // counted for the display

  d.Raise(Event(2));  // live
  ASSERT_TRUE(WaitFor([&] { return EventsAtServer() == 1; }));
  d.Tick();  // the worker takes the spool file itself; the tick only reports
  ASSERT_TRUE(WaitFor([&] { return EventsAtServer() == 2; }));
  ASSERT_TRUE(WaitFor([&] { return d.Status().backlog == 0; })) << "acknowledged file deleted";
  const DeliveryStatus s = d.Status();
  EXPECT_EQ(s.raised, 2u);
  EXPECT_EQ(s.acknowledged, 2u);
  EXPECT_EQ(s.refused, 0u);
  EXPECT_EQ(s.connects, 1u);
  EXPECT_EQ(s.spoolWriteFailures, 0u);
  EXPECT_FALSE(s.oldestWaitingMs.has_value());

  d.RequestStop();
  EXPECT_TRUE(d.Finish(kWaitMs));
  EXPECT_FALSE(d.Online());
}

TEST_F(DeliveryTest, EventsAnsweredOtherwiseAreCountedAsRefusedNotAcknowledged) {
  peer_.SetOnWrite([this](ByteView block) {
    const std::int32_t command = PacketCommand(block.subspan(kBlockPrefixSize));
    peer_.Push(
        BuildBlock(BuildPacket(command == cmdVersion ? cmdRegistered : cmdKeepAlive, 0, {})));
  });
  Delivery& d = Make();
  d.StartLink(Identity());
  ASSERT_TRUE(WaitFor([&] { return d.Status().registered; }));
  d.Raise(Event(1));
  ASSERT_TRUE(WaitFor([&] { return d.Status().refused >= 1; }));
  const DeliveryStatus s = d.Status();
  EXPECT_EQ(s.acknowledged, 0u);
  EXPECT_EQ(s.backlog, 1u);  // the file waits to go again
  EXPECT_TRUE(d.Finish(kWaitMs));
}

// The age of the oldest event waiting follows the monotonic tick: from the writing
// of its file, or from the start for files found then; none once nothing waits.
TEST_F(DeliveryTest, OldestWaitingAgeFollowsTheOldestFileNotYetAcknowledged) {
  {
    Delivery& d = Make();
    EXPECT_FALSE(d.Status().oldestWaitingMs.has_value());
    d.Raise(Event(1));
    clock_.AdvanceMs(4000);
    d.Raise(Event(2));
    clock_.AdvanceMs(1000);
    EXPECT_EQ(d.Status().oldestWaitingMs, 5000u);
    EXPECT_EQ(d.Status().raised, 2u);
  }
  // Restarted: both files were there at the start.
  delivery_.reset();
  clock_.AdvanceMs(60000);
  Delivery& again = Make();
  clock_.AdvanceMs(3000);
  EXPECT_EQ(again.Status().oldestWaitingMs, 3000u);
  EXPECT_EQ(again.Status().raised, 0u);
  // Delivered: nothing waits, and a later file counts from its own writing.
  again.StartLink(Identity());
  ASSERT_TRUE(WaitFor([&] { return again.Status().backlog == 0; }));
  EXPECT_FALSE(again.Status().oldestWaitingMs.has_value());
  EXPECT_EQ(again.Status().acknowledged, 2u);
  EXPECT_TRUE(again.Finish(kWaitMs));
  again.Raise(Event(3));  // the link has stopped: a file
  clock_.AdvanceMs(700);
  EXPECT_EQ(again.Status().oldestWaitingMs, 700u);
}

TEST_F(DeliveryTest, TheDestructorStopsAWorkerLeftRunning) {
  Delivery& d = Make();
  d.StartLink(Identity());
  ASSERT_TRUE(WaitFor([&] { return d.Status().online; }));
  delivery_.reset();  // never finished: stopped and joined, no hang
  EXPECT_GE(peer_.ConnectAttempts(), 1);
}

}  // namespace
}  // namespace kestrel
