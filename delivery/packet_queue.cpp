#include "delivery/packet_queue.h"

#include <utility>

namespace kestrel {

bool PacketQueue::Enqueue(QueuedPacket p) {
  if (QueueFull) return false;
  slots_[WriteIndex] = std::move(p);
  WriteIndex = (WriteIndex + 1) % kSlots;
  QueueFull = WriteIndex == ReadIndex;
  return true;
}

const QueuedPacket* PacketQueue::PeekFront() const {
  if (Empty()) return nullptr;
  return &slots_[ReadIndex];
}

void PacketQueue::DropFront() {
  if (Empty()) return;
  slots_[ReadIndex] = QueuedPacket{};
  ReadIndex = (ReadIndex + 1) % kSlots;
  QueueFull = false;
}

std::size_t PacketQueue::Size() const {
  if (QueueFull) return kSlots;
  return (WriteIndex + kSlots - ReadIndex) % kSlots;
}

std::vector<QueuedPacket> PacketQueue::TakeAll() {
  std::vector<QueuedPacket> all;
  all.reserve(Size());
  while (!Empty()) {
    all.push_back(std::move(slots_[ReadIndex]));
    DropFront();
  }
  return all;
}

}  // namespace kestrel
