#pragma once

// Helpers shared by the link worker tests (not a test file itself).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "delivery/Unit7.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "delivery/spool.h"
#include "delivery/spool_location.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/scripted_tcp_client.h"
#include "tests/support/temp_dir.h"

namespace kestrel::test {

// One block as the server received it.
struct SentPacket {
  std::int32_t command = 0;
  std::int64_t sequence = 0;
  Bytes payload;
};

inline SentPacket DecodeBlock(const Bytes& block) {
  const ByteView packet = ByteView(block).subspan(kBlockPrefixSize);
  SentPacket s;
  s.command = PacketCommand(packet);
  s.sequence = PacketSequence(packet);
  s.payload.assign(packet.begin() + kPacketHeaderSize, packet.end());
  return s;
}

// A reply block from the server with the given command.
inline Bytes ReplyOf(std::int32_t command) { return BuildBlock(BuildPacket(command, 0, {})); }

// A reply block carrying the given sequence number, as a server that echoes them.
inline Bytes WithSequence(Bytes block, std::int64_t sequence) {
  for (std::size_t i = 0; i < 8; ++i) {
    block[kBlockPrefixSize + 9 + i] =
        static_cast<std::uint8_t>(static_cast<std::uint64_t>(sequence) >> (8 * i));
  }
  return block;
}

// A 19-byte event payload whose first byte tells events apart.
inline Bytes EventPayload(std::uint8_t n) {
  Bytes b(19, 0);
  b[0] = n;
  b[6] = 2;
  b[7] = '4';
  b[8] = '1';
  return b;
}

// A worker wired to fakes: scripted connection, fake clock, the real spool writer
// on a temporary folder (through a file system that can be told to fail).
class LinkFixture : public ::testing::Test {
 protected:
  LinkFixture() {
    // The server: answers every block it receives, as the real one does, unless a
    // test says otherwise through `answer`.
    peer.SetOnWrite([this](ByteView block) {
      const ByteView packet = block.subspan(kBlockPrefixSize);
      const auto reply = answer(PacketCommand(packet));
      if (reply) peer.Push(echo ? WithSequence(*reply, PacketSequence(packet)) : *reply);
    });
  }

  // A live event as the dispatch hands it over: written first, then offered.
  std::filesystem::path WriteEvent(std::uint8_t n) {
    const auto file = spool.Append(cmdEvent, EventPayload(n));
    EXPECT_TRUE(file);
    return file.value_or(std::filesystem::path{});
  }
  bool OfferEvent(std::uint8_t n) {
    const auto file = WriteEvent(n);
    return link.AddEventFile(cmdEvent, EventPayload(n), file);
  }

  static std::optional<Bytes> NormalAnswer(std::int32_t command) {
    if (command == cmdVersion) return ReplyOf(cmdRegistered);
    if (command == cmdEvent) return ReplyOf(cmdEventAck);
    return ReplyOf(cmdKeepAlive);
  }

  // Steps of the server indicator: the worker's signs of life so far.
  int IndicatorSteps() const { return static_cast<int>(link.SignsOfLife()); }

  void Steps(int n) {
    for (int i = 0; i < n; ++i) link.LinkStep();
  }

  // Connects and runs the handshake until registered.
  void ConnectAndRegister() {
    link.LinkStep();
    ASSERT_TRUE(link.IsOnline());
    Steps(4);
    ASSERT_TRUE(link.IsRegistered());
    ASSERT_EQ(link.QueuedCount(), 0u);
  }

  std::vector<SentPacket> Sent() const {
    std::vector<SentPacket> out;
    for (const Bytes& b : peer.Writes()) out.push_back(DecodeBlock(b));
    return out;
  }

  std::vector<SentPacket> SentWith(std::int32_t command) const {
    auto all = Sent();
    std::erase_if(all, [&](const SentPacket& s) { return s.command != command; });
    return all;
  }

  // Spool files in the folder, by name (names grow with time of writing).
  std::vector<std::filesystem::path> SpoolFiles() const {
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
      if (location.IsSpoolName(e.path().filename().string())) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // First bytes of the payloads in the spool files, in name order.
  std::vector<int> SpooledEventNumbers() const {
    std::vector<int> out;
    for (const auto& p : SpoolFiles()) {
      const Bytes b = ReadFileBytes(p);
      EXPECT_EQ(b.size(), 23u);
      EXPECT_EQ(GetU32(b.data()), static_cast<std::uint32_t>(cmdEvent));
      out.push_back(b.size() > 4 ? b[4] : -1);
    }
    return out;
  }

  TempDir dir;
  FakeClock clock;
  ScriptedPeer peer{clock};
  FaultyFileSystem files;
  RecordingOperatorLog oplog;
  SpoolLocation location{dir.Path(), ""};
  Spool spool{location, files, clock, oplog};
  bool portOpen = true;
  bool echo = false;  // the fixture's server echoes sequence numbers in its replies
  std::function<std::optional<Bytes>(std::int32_t)> answer = NormalAnswer;
  // The connections the worker makes: to `peer`, unless a test routes them elsewhere.
  TcpClientFactory clients = peer.Factory();
  cl link{clock,
          files,
          oplog,
          [this] { return clients(); },
          spool,
          LinkIdentity{"COM3", 257, [this] { return portOpen; }, "8.1.4.30",
                       ServerHostFromFolder(files, dir.Path())}};
};

}  // namespace kestrel::test
