#include "delivery/packet_queue.h"

#include <gtest/gtest.h>

#include "delivery/commands.h"
#include "delivery/packet.h"

namespace kestrel {
namespace {

QueuedPacket Packet(std::int64_t sequence, PacketKind kind = PacketKind::LiveEvent) {
  QueuedPacket p;
  p.payload = Bytes(19, static_cast<std::uint8_t>(sequence));
  p.packet = BuildPacket(cmdEvent, sequence, p.payload);
  p.command = cmdEvent;
  p.kind = kind;
  if (kind == PacketKind::SpoolFile) p.spoolFile = "spool/" + std::to_string(sequence) + ".dd8";
  return p;
}

std::int64_t FrontSequence(const PacketQueue& q) { return PacketSequence(q.PeekFront()->packet); }

TEST(PacketQueueTest, EmptyQueue) {
  PacketQueue q;
  EXPECT_TRUE(q.Empty());
  EXPECT_FALSE(q.Full());
  EXPECT_EQ(q.Size(), 0u);
  EXPECT_EQ(q.PeekFront(), nullptr);
  q.DropFront();  // harmless
  EXPECT_TRUE(q.Empty());
  EXPECT_TRUE(q.TakeAll().empty());
}

TEST(PacketQueueTest, AllHundredSlotsAreUsableThenItRefuses) {
  PacketQueue q;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(q.Enqueue(Packet(i))) << i;
    EXPECT_EQ(q.Size(), static_cast<std::size_t>(i + 1));
  }
  EXPECT_TRUE(q.Full());
  EXPECT_FALSE(q.Empty());
  EXPECT_FALSE(q.Enqueue(Packet(100)));  // refused, nothing changes
  EXPECT_EQ(q.Size(), 100u);
  EXPECT_EQ(FrontSequence(q), 0);

  q.DropFront();  // one slot free again
  EXPECT_FALSE(q.Full());
  EXPECT_TRUE(q.Enqueue(Packet(101)));
  EXPECT_TRUE(q.Full());

  const auto all = q.TakeAll();
  ASSERT_EQ(all.size(), 100u);
  for (int i = 0; i < 99; ++i) EXPECT_EQ(PacketSequence(all[i].packet), i + 1);
  EXPECT_EQ(PacketSequence(all[99].packet), 101);
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.PeekFront(), nullptr);
}

TEST(PacketQueueTest, FifoAcrossManyWrapArounds) {
  PacketQueue q;
  std::int64_t next = 0;
  std::int64_t expected = 0;
  // Fill and drain in uneven steps so the indexes wrap at every position.
  for (int round = 0; round < 50; ++round) {
    const int add = 37 + round % 11;
    for (int i = 0; i < add && !q.Full(); ++i) ASSERT_TRUE(q.Enqueue(Packet(next++)));
    const int take = 29 + round % 13;
    for (int i = 0; i < take && !q.Empty(); ++i) {
      ASSERT_EQ(FrontSequence(q), expected++);
      q.DropFront();
    }
    ASSERT_EQ(q.Size(), static_cast<std::size_t>(next - expected));
  }
  const auto rest = q.TakeAll();
  for (const auto& p : rest) EXPECT_EQ(PacketSequence(p.packet), expected++);
  EXPECT_EQ(expected, next);
}

TEST(PacketQueueTest, KeepsEveryFieldOfAPacket) {
  PacketQueue q;
  const QueuedPacket in = Packet(7, PacketKind::SpoolFile);
  ASSERT_TRUE(q.Enqueue(in));
  const QueuedPacket* front = q.PeekFront();
  ASSERT_NE(front, nullptr);
  EXPECT_EQ(front->packet, in.packet);
  EXPECT_EQ(front->command, cmdEvent);
  EXPECT_EQ(front->kind, PacketKind::SpoolFile);
  EXPECT_EQ(front->spoolFile, in.spoolFile);
  EXPECT_EQ(front->payload, in.payload);
  EXPECT_EQ(q.Size(), 1u);  // peeking leaves it queued
}

}  // namespace
}  // namespace kestrel
