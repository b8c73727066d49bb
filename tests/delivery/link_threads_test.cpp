// The worker on its own thread while two other threads queue events: every event
// reaches the server or a spool file, and sequence numbers follow queue order.
// Meant to run under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/delivery/link_test_support.h"

namespace kestrel::test {
namespace {

// Polls a condition with a bound (the only real-time waits of these tests).
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds bound) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

using LinkThreadsTest = LinkFixture;

TEST_F(LinkThreadsTest, TwoProducersWhileTheWorkerDrains) {
  constexpr int kPerThread = 300;
  link.Start();
  ASSERT_TRUE(WaitFor([&] { return link.IsOnline(); }, std::chrono::seconds(5)));

  // A refused event stays with its caller (event dispatch spools it).
  std::mutex refusedMutex;
  std::vector<std::pair<int, int>> refused;
  auto produce = [&](std::uint8_t thread) {
    for (int i = 0; i < kPerThread; ++i) {
      Bytes payload = EventPayload(thread);
      PutU16(payload.data() + 1, static_cast<std::uint16_t>(i));
      if (!link.AddPacket(cmdEvent, payload)) {
        std::lock_guard lock(refusedMutex);
        refused.emplace_back(thread, i);
      }
      if (i % 50 == 0) std::this_thread::yield();
    }
  };
  std::thread a(produce, 1);
  std::thread b(produce, 2);
  a.join();
  b.join();
  ASSERT_TRUE(WaitFor([&] { return SentWith(cmdEvent).size() >= 20; }, std::chrono::seconds(10)));
  link.RequestStop();
  ASSERT_TRUE(link.Wait(5000));
  EXPECT_FALSE(link.IsOnline());

  std::multiset<std::pair<int, int>> seen;
  std::int64_t lastSequence = -1;
  for (const auto& s : SentWith(cmdEvent)) {
    seen.insert({s.payload[0], GetU16(s.payload.data() + 1)});
    EXPECT_GT(s.sequence, lastSequence);
    lastSequence = s.sequence;
  }
  for (const auto& p : SpoolFiles()) {
    const Bytes b = ReadFileBytes(p);
    ASSERT_EQ(b.size(), 23u);
    seen.insert({b[4], GetU16(b.data() + 5)});
  }
  EXPECT_EQ(spool.PendingCount(), 0u);
  seen.insert(refused.begin(), refused.end());
  ASSERT_EQ(seen.size(), 2u * kPerThread)
      << "every event once: acknowledged, spooled at the stop, or refused";
  for (int t = 1; t <= 2; ++t) {
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(seen.count({t, i}), 1u) << t << "/" << i;
  }
}

TEST_F(LinkThreadsTest, StopEndsTheThreadPromptlyAndWaitJoinsIt) {
  link.Start();
  ASSERT_TRUE(WaitFor([&] { return link.IsOnline(); }, std::chrono::seconds(5)));
  const auto start = std::chrono::steady_clock::now();
  link.RequestStop();
  ASSERT_TRUE(link.Wait(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(link.Wait(0)) << "a finished thread is waited for at once";
  EXPECT_FALSE(peer.ConnectionOpen());
}

// The worker counts every sign of life and goes on: nobody has to take them. A
// reader on another thread sees the count grow by one for each reply, with the
// tick of the last one.
TEST_F(LinkThreadsTest, SignsOfLifeAreCountedWhileNobodyReadsThem) {
  link.Start();
  ASSERT_TRUE(WaitFor([&] { return link.IsRegisteredAnyThread(); }, std::chrono::seconds(5)));
  // Connecting, connected, and the four replies of the handshake.
  ASSERT_TRUE(WaitFor([&] { return link.SignsOfLife() >= 6; }, std::chrono::seconds(5)));
  const std::uint64_t before = link.SignsOfLife();
  constexpr int kEvents = 20;
  for (std::uint8_t n = 0; n < kEvents; ++n) {
    ASSERT_TRUE(WaitFor([&] { return link.AddPacket(cmdEvent, EventPayload(n)); },
                        std::chrono::seconds(5)));
  }
  ASSERT_TRUE(
      WaitFor([&] { return SentWith(cmdEvent).size() == kEvents; }, std::chrono::seconds(10)));
  ASSERT_TRUE(
      WaitFor([&] { return link.SignsOfLife() >= before + kEvents; }, std::chrono::seconds(5)));
  EXPECT_EQ(link.LastSignOfLifeTick(), clock.TickMs());
  link.RequestStop();
  ASSERT_TRUE(link.Wait(5000));
}

TEST_F(LinkThreadsTest, DestroyingARunningWorkerStopsAndJoinsIt) {
  auto other = std::make_unique<cl>(
      clock, files, oplog, peer.Factory(), spool,
      LinkIdentity{"COM1", 1, {}, "8.1.4.30", ServerHostFromFolder(files, dir.Path())});
  other->Start();
  ASSERT_TRUE(WaitFor([&] { return other->IsOnline(); }, std::chrono::seconds(5)));
  other.reset();
  EXPECT_FALSE(peer.ConnectionOpen());
}

}  // namespace
}  // namespace kestrel::test
