// The spool drain against a fake link: order, pace, refusals and set-aside files.

#include "delivery/spool_drain.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "delivery/commands.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class FakeSpoolLink final : public SpoolLink {
 public:
  struct HandedOver {
    std::int32_t command;
    Bytes payload;
    fs::path file;
  };
  bool IsOnline() const override { return online; }
  bool AddSpoolPacket(std::int32_t command, ByteView payload, const fs::path& file) override {
    ++offers;
    if (!accept) return false;
    handed.push_back({command, Bytes(payload.begin(), payload.end()), file});
    return true;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& h : handed) out.push_back(h.file.filename().string());
    return out;
  }

  bool online = true;
  bool accept = true;
  int offers = 0;
  std::vector<HandedOver> handed;
};

Bytes EventFile(std::uint8_t n, std::size_t recordSize = 19) {
  Bytes b{0x3E, 0x00, 0x00, 0x03};
  b.resize(4 + recordSize, 0);
  if (recordSize > 0) b[4] = n;
  return b;
}

class SpoolDrainTest : public ::testing::Test {
 protected:
  SpoolDrainTest() { drain.SetLink(&link); }

  // A spool file written `ageSeconds` ago.
  fs::path Spool(const std::string& name, const Bytes& content, int ageSeconds) {
    const fs::path p = dir / name;
    WriteFileBytes(p, content);
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
    return p;
  }

  // What the worker does when the server acknowledges a handed-over file.
  void Acknowledge(const FakeSpoolLink::HandedOver& h) {
    Bytes content(4);
    PutU32(content.data(), static_cast<std::uint32_t>(h.command));
    content.insert(content.end(), h.payload.begin(), h.payload.end());
    ASSERT_EQ(bookkeeping.Acknowledge(files, h.file, content),
              SpoolBookkeeping::AckOutcome::Deleted);
  }

  void Tick(std::uint32_t ms = 200) {
    clock.AdvanceMs(ms);
    drain.DrainSpool();
  }

  TempDir dir;
  FakeClock clock;
  FaultyFileSystem files;
  RecordingOperatorLog oplog;
  SpoolBookkeeping bookkeeping;
  FakeSpoolLink link;
  SpoolDrain drain{SpoolLocation{dir.Path(), ""}, files, clock, oplog, bookkeeping};
};

TEST_F(SpoolDrainTest, NothingGoesWithoutAnOnlineLink) {
  Spool("A.dd8", EventFile(1), 10);
  SpoolDrain orphan{SpoolLocation{dir.Path(), ""}, files, clock, oplog, bookkeeping};
  orphan.DrainSpool();  // no worker yet
  link.online = false;
  Tick();
  Tick(5000);
  EXPECT_EQ(link.offers, 0);
  EXPECT_FALSE(bookkeeping.LastSpoolSend().has_value());
}

TEST_F(SpoolDrainTest, OldestFirstAndEachAcknowledgementLetsTheNextGoAtTheNextTick) {
  Spool("A.dd8", EventFile(3), 10);
  Spool("B.dd8", EventFile(1), 30);
  Spool("C.dd8", EventFile(2), 20);
  for (int i = 0; i < 3; ++i) {
    Tick();
    ASSERT_EQ(link.handed.size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(bookkeeping.LastSpoolFile(), link.handed.back().file);
    Acknowledge(link.handed.back());
  }
  EXPECT_THAT(link.Names(), ElementsAre("B.dd8", "C.dd8", "A.dd8"));
  EXPECT_EQ(link.handed[0].command, cmdEvent);
  const Bytes first = EventFile(1);
  EXPECT_EQ(link.handed[0].payload, Bytes(first.begin() + 4, first.end()));
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(SpoolDrainTest, WithoutAcknowledgementFilesTakeTurnsStrictlyMoreThanThreeSecondsApart) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  Tick();
  EXPECT_THAT(link.Names(), ElementsAre("A.dd8"));
  Tick(3000);
  EXPECT_EQ(link.handed.size(), 1u) << "exactly 3 s is not enough";
  Tick(1);
  Tick(3001);
  Tick(3001);
  EXPECT_THAT(link.Names(), ElementsAre("A.dd8", "B.dd8", "A.dd8", "B.dd8"));
  EXPECT_TRUE(fs::exists(dir / "A.dd8"));
  EXPECT_TRUE(fs::exists(dir / "B.dd8"));
}

TEST_F(SpoolDrainTest, PaceFollowsTheMonotonicTickNotTheWallClock) {
  Spool("A.dd8", EventFile(1), 30);
  Tick();
  clock.SetNow(clock.Now() - 1.0);  // the wall clock is set back a day
  Tick(3001);
  clock.SetNow(clock.Now() + 2.0);  // and forward two days
  Tick(100);
  EXPECT_EQ(link.handed.size(), 2u);
}

TEST_F(SpoolDrainTest, PaceWrapsWithTheTick) {
  Spool("A.dd8", EventFile(1), 30);
  clock.SetTick(0xFFFFFFFFu - 1000);
  Tick();
  Tick(3001);  // past the wrap
  EXPECT_EQ(link.handed.size(), 2u);
}

TEST_F(SpoolDrainTest, RefusedHandOverLeavesTheBookkeepingAsItWas) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  link.accept = false;
  Tick();
  EXPECT_EQ(link.offers, 1);
  EXPECT_FALSE(bookkeeping.LastSpoolSend().has_value());
  EXPECT_TRUE(bookkeeping.LastSpoolFile().empty());
  EXPECT_EQ(bookkeeping.HandOverOrder(dir / "A.dd8"), 0u);
  link.accept = true;
  Tick();
  EXPECT_THAT(link.Names(), ElementsAre("A.dd8")) << "offered again at the next tick";
}

TEST_F(SpoolDrainTest, ConnectionResetLetsTheNextFileGoAtOnce) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  Tick();
  link.online = false;
  Tick(5000);
  EXPECT_EQ(link.handed.size(), 1u);
  link.online = true;
  bookkeeping.ResetLastSpoolSend();  // the worker, on connection
  Tick();
  EXPECT_THAT(link.Names(), ElementsAre("A.dd8", "B.dd8"));
}

TEST_F(SpoolDrainTest, AnyNameEndingInDd8IsDrainedAndNothingElse) {
  Spool("not hex.DD8", Bytes{0x01, 0, 0, 0}, 30);
  Spool("5265C00.dd8.part", EventFile(1), 60);
  Spool("x.bad", EventFile(1), 60);
  Spool("y.txt", EventFile(1), 60);
  Spool("short.dd8", Bytes{0x02, 0, 0, 0, 1, 2, 3, 4, 5, 6}, 20);
  Tick();
  Tick(3001);
  Tick(3001);
  EXPECT_THAT(link.Names(), ElementsAre("not hex.DD8", "short.dd8", "not hex.DD8"));
  EXPECT_TRUE(link.handed[0].payload.empty()) << "a 4-byte file has an empty payload";
  EXPECT_EQ(link.handed[1].command, 2);
  EXPECT_EQ(link.handed[1].payload.size(), 6u);
}

struct SetAsideCase {
  friend void PrintTo(const SetAsideCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Bytes content;
};

class SetAsideTest : public SpoolDrainTest, public ::testing::WithParamInterface<SetAsideCase> {};

TEST_P(SetAsideTest, RenamedAsideReportedOnceNeverDeleted) {
  const fs::path bad = Spool("X.dd8", GetParam().content, 60);
  Spool("G.dd8", EventFile(1), 10);
  Tick();
  EXPECT_FALSE(fs::exists(bad));
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad"), GetParam().content);
  ASSERT_EQ(oplog.Lines().size(), 1u);
  EXPECT_NE(oplog.Lines()[0].find("X.dd8"), std::string::npos);
  EXPECT_TRUE(link.handed.empty());
  Tick();
  EXPECT_THAT(link.Names(), ElementsAre("G.dd8"));
  EXPECT_EQ(oplog.Lines().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Files, SetAsideTest,
                         ::testing::Values(SetAsideCase{"ThreeBytes", Bytes{0x3E, 0, 0}},
                                           SetAsideCase{"Empty", Bytes{}},
                                           SetAsideCase{"Over64KiB", Bytes(64 * 1024 + 1, 7)},
                                           SetAsideCase{"EventOf18", EventFile(1, 18)},
                                           SetAsideCase{"EventOf20", EventFile(1, 20)},
                                           SetAsideCase{"EventWithoutRecord", EventFile(1, 0)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpoolDrainTest, LargestAcceptedFileIs64KiB) {
  Spool("X.dd8", Bytes(64 * 1024, 1), 60);
  Tick();
  ASSERT_EQ(link.handed.size(), 1u);
  EXPECT_EQ(link.handed[0].payload.size(), 64u * 1024 - 4);
}

TEST_F(SpoolDrainTest, FolderNamedLikeASpoolFileIsNeverReadOrDeleted) {
  fs::create_directory(dir / "D.dd8");
  std::error_code ec;  // Windows' C library cannot set a folder's time; the test holds without
  fs::last_write_time(dir / "D.dd8", fs::file_time_type::clock::now() - std::chrono::seconds(60),
                      ec);
  Spool("G.dd8", EventFile(1), 10);
  Tick();
  Tick(3001);
  Tick();
  EXPECT_THAT(link.Names(), ElementsAre("G.dd8", "G.dd8"));
  EXPECT_EQ(oplog.Lines().size(), 1u);
  EXPECT_TRUE(fs::is_directory(dir / "D.dd8") || fs::is_directory(dir / "D.dd8.bad"));
}

TEST_F(SpoolDrainTest, UnreadableThreeTicksInARowIsSetAside) {
  Spool("U.dd8", EventFile(1), 60);
  Spool("G.dd8", EventFile(2), 10);
  files.Fail(FaultyFileSystem::Op::ReadAll, "U.dd8");
  Tick();
  Tick();
  EXPECT_TRUE(link.handed.empty()) << "the same file is tried again";
  EXPECT_TRUE(oplog.Lines().empty());
  Tick();
  EXPECT_EQ(oplog.Lines().size(), 1u);
  EXPECT_TRUE(fs::exists(dir / "U.dd8.bad"));
  Tick();
  EXPECT_THAT(link.Names(), ElementsAre("G.dd8"));
}

TEST_F(SpoolDrainTest, ReadFailuresMustBeInARow) {
  Spool("U.dd8", EventFile(1), 60);
  files.Fail(FaultyFileSystem::Op::ReadAll, "U.dd8");
  Tick();
  Tick();
  files.HealAll();
  Tick();
  ASSERT_THAT(link.Names(), ElementsAre("U.dd8"));
  files.Fail(FaultyFileSystem::Op::ReadAll, "U.dd8");
  Tick(3001);
  Tick();
  EXPECT_TRUE(oplog.Lines().empty());
  EXPECT_TRUE(fs::exists(dir / "U.dd8"));
}

TEST_F(SpoolDrainTest, SetAsideMovesOnWhenTheBadNameIsTaken) {
  Spool("X.dd8", Bytes{1, 2}, 60);
  WriteFileBytes(dir / "X.dd8.bad", Bytes{9});
  Tick();
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad"), Bytes{9});
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad1"), (Bytes{1, 2}));
}

TEST_F(SpoolDrainTest, FileThatCannotBeRenamedIsSkippedForTheRunAndReportedOnce) {
  Spool("X.dd8", Bytes{1, 2}, 60);
  Spool("G.dd8", EventFile(2), 10);
  files.Fail(FaultyFileSystem::Op::Rename, "X.dd8");
  Tick();
  Tick();
  Tick(3001);
  EXPECT_THAT(link.Names(), ElementsAre("G.dd8", "G.dd8"));
  EXPECT_EQ(oplog.Lines().size(), 1u);
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8"), (Bytes{1, 2})) << "never deleted";
}

TEST_F(SpoolDrainTest, UndeletableAcknowledgedFileIsNotHandedOverAgain) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  files.Fail(FaultyFileSystem::Op::Remove, "A.dd8");
  Tick();
  ASSERT_THAT(link.Names(), ElementsAre("A.dd8"));
  Bytes content = EventFile(1);
  EXPECT_EQ(bookkeeping.Acknowledge(files, dir / "A.dd8", content),
            SpoolBookkeeping::AckOutcome::Undeletable);
  EXPECT_EQ(bookkeeping.Acknowledge(files, dir / "A.dd8", content),
            SpoolBookkeeping::AckOutcome::AlreadyDelivered);
  Tick();
  Tick(3001);
  EXPECT_THAT(link.Names(), ElementsAre("A.dd8", "B.dd8", "B.dd8"));
}

}  // namespace
}  // namespace kestrel::test
