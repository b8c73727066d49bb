#include "delivery/spool_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "delivery/commands.h"
#include "delivery/event_record.h"
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
using test::WriteFileBytes;
using Op = FaultyFileSystem::Op;

// The 8th of a month at 20:25:30.123: spool name 2D94DB0B.
const DateTime kWhen = EncodeDateTime({2026, 12, 8, 20, 25, 30, 123});

Bytes EventPayload(std::uint32_t id) {
  EventRecord r;
  r.TransmitterId = id;
  r.FirstNumber = 1;
  r.EventCode = {'3', '9'};
  r.EventTime = kWhen;
  const EventBytes b = EncodeEventRecord(r);
  return Bytes(b.begin(), b.end());
}

Bytes SpoolContent(std::int32_t command, const Bytes& payload) {
  Bytes content(4 + payload.size());
  PutU32(content.data(), static_cast<std::uint32_t>(command));
  std::copy(payload.begin(), payload.end(), content.begin() + 4);
  return content;
}

class SpoolWriterTest : public ::testing::Test {
 protected:
  SpoolWriterTest() : clock_(kWhen) {}

  // Every name in the spool folder, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_, ec)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  TempDir tmp_;
  // Nested and missing: the writer makes it.
  std::filesystem::path dir_ = tmp_.Path() / "data" / "spool";
  FaultyFileSystem fs_;
  FakeClock clock_;
  RecordingOperatorLog log_;
  SpoolWriter writer_{SpoolLocation{dir_, ""}, fs_, clock_, log_};
};

TEST_F(SpoolWriterTest, WritesCommandAndPayloadUnderTheClocksNameMakingTheFolder) {
  ASSERT_TRUE(writer_.Write(cmdEvent, EventPayload(7)));
  ASSERT_EQ(Names(), std::vector<std::string>{"2D94DB0B.dd8"});
  const Bytes content = ReadFileBytes(dir_ / "2D94DB0B.dd8");
  ASSERT_EQ(content.size(), 23u);
  EXPECT_EQ(content, SpoolContent(cmdEvent, EventPayload(7)));
  EXPECT_EQ(content[0], 0x3E);
  EXPECT_EQ(content[3], 0x03);
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_EQ(writer_.PendingCount(), 0u);
}

TEST_F(SpoolWriterTest, ManyFilesInOneMillisecondAllSurviveUnderDistinctNames) {
  constexpr std::uint32_t kCount = 7;
  for (std::uint32_t i = 0; i < kCount; ++i) ASSERT_TRUE(writer_.Write(cmdEvent, EventPayload(i)));
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), kCount);
  std::set<Bytes> contents;
  for (std::uint32_t i = 0; i < kCount; ++i) {
    EXPECT_EQ(names[i], SpoolNumberText(0x2D94DB0Bu + i) + ".dd8");
    const Bytes content = ReadFileBytes(dir_ / names[i]);
    EXPECT_EQ(content.size(), 23u);
    contents.insert(content);
  }
  EXPECT_EQ(contents.size(), kCount);
}

TEST_F(SpoolWriterTest, NeverReplacesAFileOrTemporaryFileAlreadyThere) {
  std::filesystem::create_directories(dir_);
  WriteFileBytes(dir_ / "2D94DB0B.dd8", {1, 2, 3});  // from last month, say
  WriteFileBytes(dir_ / "2D94DB0C.dd8.part", {4});
  ASSERT_TRUE(writer_.Write(cmdEvent, EventPayload(1)));
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0B.dd8"), (Bytes{1, 2, 3}));
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0C.dd8.part"), (Bytes{4}));
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0D.dd8"), SpoolContent(cmdEvent, EventPayload(1)));
}

TEST_F(SpoolWriterTest, AnyPayloadIsKeptAsItIs) {
  ASSERT_TRUE(writer_.Write(cmdKeepAlive, {}));
  ASSERT_TRUE(writer_.Write(cmdEvent, Bytes(300, 0xAB)));
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0B.dd8"), SpoolContent(cmdKeepAlive, {}));
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0C.dd8"), SpoolContent(cmdEvent, Bytes(300, 0xAB)));
}

struct FailureCase {
  const char* what;
  Op op;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }

class SpoolWriterFailureTest : public SpoolWriterTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SpoolWriterFailureTest, ReportsKeepsTheEventAndWritesItOnceTheDiskRecovers) {
  fs_.Fail(GetParam().op);
  EXPECT_FALSE(writer_.Write(cmdEvent, EventPayload(5)));
  ASSERT_EQ(log_.Lines().size(), 1u);
  EXPECT_EQ(
      log_.Lines()[0].rfind("Не удалось записать событие в файл " + Path("2D94DB0B.dd8") + ".", 0),
      0u)
      << log_.Lines()[0];
  EXPECT_EQ(writer_.PendingCount(), 1u);
  // Nothing half-written is left where the drain or a restart could find it.
  for (const std::string& name : Names()) ADD_FAILURE() << "left behind: " << name;

  // Retried at every tick without flooding the operator.
  writer_.RetryPending(nullptr);
  writer_.RetryPending(nullptr);
  EXPECT_EQ(writer_.PendingCount(), 1u);
  EXPECT_EQ(log_.Lines().size(), 1u);

  fs_.HealAll();
  clock_.AdvanceMs(200);
  writer_.RetryPending(nullptr);
  EXPECT_EQ(writer_.PendingCount(), 0u);
  // Named by the moment it was first tried.
  EXPECT_EQ(Names(), std::vector<std::string>{"2D94DB0B.dd8"});
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0B.dd8"), SpoolContent(cmdEvent, EventPayload(5)));
}

INSTANTIATE_TEST_SUITE_P(Operations, SpoolWriterFailureTest,
                         ::testing::Values(FailureCase{"disk full", Op::WriteNew},
                                           FailureCase{"rename refused", Op::Rename},
                                           FailureCase{"folder cannot be made",
                                                       Op::CreateDirectories}),
                         [](const auto& info) {
                           std::string n = info.param.what;
                           std::replace(n.begin(), n.end(), ' ', '_');
                           return n;
                         });

TEST_F(SpoolWriterTest, KeptEventsGoOutOldestFirstBeforeNewOnes) {
  fs_.Fail(Op::WriteNew);
  for (std::uint32_t id = 1; id <= 3; ++id) {
    EXPECT_FALSE(writer_.Write(cmdEvent, EventPayload(id)));
    clock_.AdvanceMs(1000);
  }
  EXPECT_EQ(writer_.PendingCount(), 3u);
  ASSERT_EQ(log_.Lines().size(), 1u) << "told when the failures begin, not per event";
#ifndef _WIN32  // the fake's reason reaches the writer through errno
  EXPECT_NE(log_.Lines()[0].find("Причина: диск заполнен."), std::string::npos) << log_.Lines()[0];
#endif

  fs_.HealAll();
  // A new event first writes out those kept before it.
  ASSERT_TRUE(writer_.Write(cmdEvent, EventPayload(4)));
  EXPECT_EQ(writer_.PendingCount(), 0u);
  ASSERT_EQ(log_.Lines().size(), 2u) << "and when they end, with a count";
  EXPECT_EQ(log_.Lines()[1],
            "Запись событий в файлы восстановлена; событий, не записанных сразу: 3.");
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 4u);
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ReadFileBytes(dir_ / names[i]), SpoolContent(cmdEvent, EventPayload(i + 1)))
        << names[i];
  }
}

// The worker's write (WriteOffLock) makes the same files as Write, after the names
// used; when it fails the event is kept and the operator told, and while events
// are kept it joins them, so the order holds.
TEST_F(SpoolWriterTest, TheWorkersWriteMakesTheSameFilesAndKeepsTheOrder) {
  ASSERT_EQ(writer_.WriteOffLock(cmdEvent, EventPayload(1)), dir_ / "2D94DB0B.dd8");
  ASSERT_TRUE(writer_.Write(cmdEvent, EventPayload(2)));
  ASSERT_EQ(writer_.WriteOffLock(cmdEvent, EventPayload(3)),
            dir_ / (SpoolNumberText(0x2D94DB0Du) + ".dd8"));
  fs_.Fail(Op::WriteNew);
  EXPECT_FALSE(writer_.WriteOffLock(cmdEvent, EventPayload(4)));
  EXPECT_EQ(log_.Lines().size(), 1u);
  fs_.HealAll();
  EXPECT_FALSE(writer_.WriteOffLock(cmdEvent, EventPayload(5))) << "behind the kept event";
  EXPECT_EQ(writer_.PendingCount(), 2u);
  writer_.RetryPending(nullptr);
  EXPECT_EQ(writer_.PendingCount(), 0u);
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 5u);
  for (std::uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ReadFileBytes(dir_ / names[i]), SpoolContent(cmdEvent, EventPayload(i + 1)))
        << names[i];
  }
}

TEST_F(SpoolWriterTest, RetryHandsKeptEventsToAnOnlineLinkInOrder) {
  fs_.Fail(Op::WriteNew);
  for (std::uint32_t id = 1; id <= 3; ++id) writer_.Write(cmdEvent, EventPayload(id));
  FakeLinkPort link;

  // Online but refusing, disk still failing: nothing moves, nothing is lost.
  link.online = true;
  link.accept = false;
  writer_.RetryPending(&link);
  EXPECT_EQ(writer_.PendingCount(), 3u);
  EXPECT_EQ(link.Offered(), 1);  // stops at the first that goes nowhere

  link.accept = true;
  writer_.RetryPending(&link);
  EXPECT_EQ(writer_.PendingCount(), 0u);
  const auto packets = link.Packets();
  ASSERT_EQ(packets.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(packets[i].command, cmdEvent);
    EXPECT_EQ(packets[i].payload, EventPayload(i + 1));
  }
  EXPECT_TRUE(Names().empty());
}

TEST_F(SpoolWriterTest, RetryWritesFilesWhenTheLinkRefusesOrIsOffline) {
  fs_.Fail(Op::WriteNew);
  writer_.Write(cmdEvent, EventPayload(1));
  writer_.Write(cmdEvent, EventPayload(2));
  fs_.HealAll();
  FakeLinkPort link;
  link.online = true;
  link.accept = false;  // queue full
  writer_.RetryPending(&link);
  EXPECT_EQ(writer_.PendingCount(), 0u);
  EXPECT_EQ(Names().size(), 2u);
  EXPECT_TRUE(link.Packets().empty());

  fs_.Fail(Op::WriteNew);
  writer_.Write(cmdEvent, EventPayload(3));
  fs_.HealAll();
  link.online = false;
  writer_.RetryPending(&link);
  EXPECT_EQ(link.Offered(), 2);  // an offline link is not offered anything
  EXPECT_EQ(Names().size(), 3u);
}

TEST_F(SpoolWriterTest, WritersOnTwoThreadsNeverShareAName) {
  constexpr std::uint32_t kEach = 40;
  auto writeMany = [this](std::uint32_t base) {
    for (std::uint32_t i = 0; i < kEach; ++i)
      EXPECT_TRUE(writer_.Write(cmdEvent, EventPayload(base + i)));
  };
  std::thread other(writeMany, 1000);
  writeMany(0);
  FakeLinkPort link;
  writer_.RetryPending(&link);
  other.join();
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 2 * kEach);
  std::set<Bytes> contents;
  for (const auto& name : names) contents.insert(ReadFileBytes(dir_ / name));
  EXPECT_EQ(contents.size(), 2 * kEach);
}

#ifndef _WIN32  // symbolic links need a privilege on Windows
// Someone plants entries under the names of the next 4 s: links leading nowhere
// (a write through one would make its target), folders, and temporary names. Every
// event still reaches the disk at once, under a free name, in order; nothing
// planted is touched and nothing is made where a link leads.
TEST_F(SpoolWriterTest, PlantedLinksAndFoldersUnderTheComingNamesAreSkipped) {
  std::filesystem::create_directories(dir_);
  const std::filesystem::path outside = tmp_.Path() / "outside";
  std::filesystem::create_directories(outside);
  constexpr std::uint32_t kPlanted = 4000;
  const std::uint32_t first = SpoolFileNumber(kWhen);
  for (std::uint32_t i = 0; i < kPlanted; ++i) {
    const std::string name = SpoolNumberText(first + i) + ".dd8";
    switch (i % 4) {
      case 0:
      case 1:
        std::filesystem::create_symlink(outside / name, dir_ / name);
        break;
      case 2:
        std::filesystem::create_directory(dir_ / name);
        break;
      default:  // only the temporary name is taken
        std::filesystem::create_symlink(outside / (name + ".part"), dir_ / (name + ".part"));
    }
  }
  std::vector<std::string> written;
  for (std::uint32_t id = 1; id <= 15; ++id) {
    const auto file = writer_.Write(cmdEvent, EventPayload(id));
    ASSERT_TRUE(file) << "event " << id;
    written.push_back(file->filename().string());
    EXPECT_EQ(ReadFileBytes(*file), SpoolContent(cmdEvent, EventPayload(id)));
    clock_.AdvanceMs(id <= 5 ? 800 : 100);  // 5 inside the planted names, 10 after
  }
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_EQ(writer_.PendingCount(), 0u);
  EXPECT_TRUE(std::is_sorted(written.begin(), written.end(), [](const auto& a, const auto& b) {
    return *ParseSpoolNumber(a.substr(0, a.size() - 4)) <
           *ParseSpoolNumber(b.substr(0, b.size() - 4));
  })) << "names follow the order of the events";
  EXPECT_TRUE(std::filesystem::is_empty(outside)) << "nothing written through a link";
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / (SpoolNumberText(first + 2) + ".dd8")));
}

#endif

// --- start-up recovery of temporary files left by a crash ---

struct RecoveryCase {
  const char* what;
  Bytes content;
  bool finalTaken;             // a spool file of the meant name exists already
  const char* expectedName;    // where the content ends up
  const char* reportFragment;  // in the one line reported
};

void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.what; }

class SpoolRecoveryTest : public SpoolWriterTest,
                          public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(SpoolRecoveryTest, CompleteTemporaryFilesBecomeSpoolFilesOthersAreSetAside) {
  const RecoveryCase& c = GetParam();
  std::filesystem::create_directories(dir_);
  WriteFileBytes(dir_ / "2D94DB0B.dd8.part", c.content);
  if (c.finalTaken) WriteFileBytes(dir_ / "2D94DB0B.dd8", {9});
  WriteFileBytes(dir_ / "notes.txt", {1});

  writer_.RecoverAtStartup();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "2D94DB0B.dd8.part"));
  EXPECT_EQ(ReadFileBytes(dir_ / c.expectedName), c.content);
  if (c.finalTaken) {
    EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0B.dd8"), Bytes{9});
  }
  EXPECT_EQ(ReadFileBytes(dir_ / "notes.txt"), Bytes{1});
  const auto lines = log_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(c.reportFragment), std::string::npos) << lines[0];
}

Bytes WithCommand(std::uint32_t command, std::size_t size) {
  Bytes b = SpoolContent(cmdEvent, EventPayload(3));
  PutU32(b.data(), command);
  b.resize(size);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, SpoolRecoveryTest,
    ::testing::Values(
        RecoveryCase{"complete", SpoolContent(cmdEvent, EventPayload(3)), false, "2D94DB0B.dd8",
                     "восстановлен"},
        RecoveryCase{"complete_name_taken", SpoolContent(cmdEvent, EventPayload(3)), true,
                     "2D94DB0C.dd8", "восстановлен"},
        RecoveryCase{"short", WithCommand(cmdEvent, 10), false, "2D94DB0B.dd8.part.bad", "отложен"},
        RecoveryCase{"empty", Bytes{}, false, "2D94DB0B.dd8.part.bad", "отложен"},
        RecoveryCase{"other_command", WithCommand(cmdKeepAlive, 23), false, "2D94DB0B.dd8.part.bad",
                     "отложен"},
        RecoveryCase{"zeros", Bytes(23, 0), false, "2D94DB0B.dd8.part.bad", "отложен"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(SpoolWriterTest, RecoveryNeverOverwritesAnEarlierSetAsideFile) {
  std::filesystem::create_directories(dir_);
  WriteFileBytes(dir_ / "2D94DB0B.dd8.part", {1});
  WriteFileBytes(dir_ / "2D94DB0B.dd8.part.bad", {2});
  writer_.RecoverAtStartup();
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0B.dd8.part.bad"), Bytes{2});
  EXPECT_EQ(ReadFileBytes(dir_ / "2D94DB0B.dd8.part.bad1"), Bytes{1});
}

TEST_F(SpoolWriterTest, ANamePrefixStartsEveryFileItWritesAndRecovers) {
  std::filesystem::create_directories(dir_);
  SpoolWriter prefixed(SpoolLocation{dir_, "ev"}, fs_, clock_, log_);
  WriteFileBytes(dir_ / "ev2D94DB0B.dd8.part", SpoolContent(cmdEvent, EventPayload(1)));
  WriteFileBytes(dir_ / "other.dd8.part", {7});  // not of this prefix: left alone
  prefixed.RecoverAtStartup();
  ASSERT_TRUE(prefixed.Write(cmdEvent, EventPayload(2)));
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"ev2D94DB0B.dd8", "ev2D94DB0C.dd8", "other.dd8.part"}));
}

TEST_F(SpoolWriterTest, RecoveryWithoutASpoolFolderDoesNothing) {
  writer_.RecoverAtStartup();
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_FALSE(std::filesystem::exists(dir_));
}

}  // namespace
}  // namespace kestrel
