// The backlog against a fake worker: order, pace after refusals, set-aside files,
// and the in-memory index against files appearing and vanishing behind its back.

#include "delivery/spool_drain.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "delivery/commands.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Bytes EventFile(std::uint8_t n, std::size_t recordSize = 19) {
  Bytes b{0x3E, 0x00, 0x00, 0x03};
  b.resize(4 + recordSize, 0);
  if (recordSize > 0) b[4] = n;
  return b;
}

class SpoolDrainTest : public ::testing::Test {
 protected:
  // A spool file written `ageSeconds` ago.
  fs::path Spool(const std::string& name, const Bytes& content, int ageSeconds) {
    const fs::path p = dir / name;
    WriteFileBytes(p, content);
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
    return p;
  }

  // What the worker does in a step with nothing fresher to send.
  std::optional<SpoolPacket> Take(std::uint32_t ms = 20) {
    clock.AdvanceMs(ms);
    auto p = drain.TakeNext();
    if (p) handed.push_back(*p);
    return p;
  }
  // The names handed over so far.
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& h : handed) out.push_back(h.file.filename().string());
    return out;
  }
  // The server acknowledged the block that carried the packet.
  void Acknowledge(const SpoolPacket& h) {
    ASSERT_EQ(index.Acknowledge(files, h.file, Content(h)), SpoolIndex::AckOutcome::Deleted);
  }
  // The server answered otherwise.
  void Refuse(const SpoolPacket& h) { index.Release(h.file, clock.TickMs()); }
  static Bytes Content(const SpoolPacket& h) {
    Bytes content(4);
    PutU32(content.data(), static_cast<std::uint32_t>(h.command));
    content.insert(content.end(), h.payload.begin(), h.payload.end());
    return content;
  }

  TempDir dir;
  FakeClock clock;
  FaultyFileSystem files;
  RecordingOperatorLog oplog;
  SpoolIndex index{SpoolLocation{dir.Path(), ""}};
  SpoolDrain drain{index, files, clock, oplog};
  std::vector<SpoolPacket> handed;
};

TEST_F(SpoolDrainTest, OldestFirstAndEachAcknowledgementLetsTheNextGoAtTheNextStep) {
  Spool("A.dd8", EventFile(3), 10);
  Spool("B.dd8", EventFile(1), 30);
  Spool("C.dd8", EventFile(2), 20);
  drain.Rescan();
  EXPECT_EQ(index.Waiting(), 3u);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Take());
    Acknowledge(handed.back());
  }
  EXPECT_THAT(Names(), ElementsAre("B.dd8", "C.dd8", "A.dd8"));
  EXPECT_EQ(handed[0].command, cmdEvent);
  const Bytes first = EventFile(1);
  EXPECT_EQ(handed[0].payload, Bytes(first.begin() + 4, first.end()));
  EXPECT_TRUE(fs::is_empty(dir.Path()));
  EXPECT_EQ(index.Waiting(), 0u);
  EXPECT_EQ(index.Delivered(), 3u);
}

TEST_F(SpoolDrainTest, AFileAnsweredOtherwiseWaitsStrictlyMoreThanThreeSeconds) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  drain.Rescan();
  Refuse(*Take());
  Refuse(*Take());
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8"));
  EXPECT_FALSE(Take(2980)) << "exactly 3 s after the first answer is not enough";
  ASSERT_TRUE(Take(1));
  EXPECT_FALSE(Take(0)) << "B was answered 20 ms later";
  EXPECT_TRUE(Take(20));
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8", "A.dd8", "B.dd8"));
  EXPECT_TRUE(fs::exists(dir / "A.dd8"));
  EXPECT_TRUE(fs::exists(dir / "B.dd8"));
}

TEST_F(SpoolDrainTest, PaceFollowsTheMonotonicTickNotTheWallClock) {
  Spool("A.dd8", EventFile(1), 30);
  drain.Rescan();
  Refuse(*Take());
  clock.SetNow(clock.Now() + 2.0);  // the wall clock jumps two days
  EXPECT_FALSE(Take(100));
  clock.SetNow(clock.Now() - 5.0);
  EXPECT_TRUE(Take(2901));
}

TEST_F(SpoolDrainTest, PaceWrapsWithTheTick) {
  Spool("A.dd8", EventFile(1), 30);
  drain.Rescan();
  clock.SetTick(0xFFFFFFFFu - 1000);
  Refuse(*Take());
  EXPECT_FALSE(Take(2000));  // past the wrap
  EXPECT_TRUE(Take(1001));
}

TEST_F(SpoolDrainTest, LinkDownPutsEverythingInFlightBackAtOnce) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  drain.Rescan();
  Take();
  Take();
  EXPECT_FALSE(Take());
  EXPECT_EQ(index.Backlog(), 0u);
  index.ReleaseAll();
  EXPECT_EQ(index.Backlog(), 2u);
  Take();
  Take();
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8", "A.dd8", "B.dd8"));
}

TEST_F(SpoolDrainTest, ALiveClaimIsNeverOfferedTwiceAndNeverHandedOverByTheBacklog) {
  Spool("A.dd8", EventFile(1), 30);
  drain.Rescan();
  const fs::path live = Spool("L.dd8", EventFile(9), 0);
  index.Add(live);
  ASSERT_TRUE(index.Claim(live));
  EXPECT_FALSE(index.Claim(live));
  Take();
  EXPECT_FALSE(Take());
  EXPECT_THAT(Names(), ElementsAre("A.dd8"));
  // Refused by a full queue: the live file joins the backlog, after files never
  // handed over.
  index.Release(live);
  Spool("B.dd8", EventFile(2), 0);
  index.Add(dir / "B.dd8");
  Take();
  Take();
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8", "L.dd8"));
  EXPECT_FALSE(index.Claim(dir / "A.dd8")) << "in flight from the backlog";
}

TEST_F(SpoolDrainTest, AnyNameEndingInDd8IsDrainedAndNothingElse) {
  Spool("not hex.DD8", Bytes{0x01, 0, 0, 0}, 30);
  Spool("5265C00.dd8.part", EventFile(1), 60);
  Spool("x.bad", EventFile(1), 60);
  Spool("y.txt", EventFile(1), 60);
  Spool("short.dd8", Bytes{0x02, 0, 0, 0, 1, 2, 3, 4, 5, 6}, 20);
  drain.Rescan();
  Take();
  Take();
  EXPECT_FALSE(Take());
  EXPECT_THAT(Names(), ElementsAre("not hex.DD8", "short.dd8"));
  EXPECT_TRUE(handed[0].payload.empty()) << "a 4-byte file has an empty payload";
  EXPECT_EQ(handed[1].command, 2);
  EXPECT_EQ(handed[1].payload.size(), 6u);
}

// The index against the folder changing behind its back.
TEST_F(SpoolDrainTest, FilesCopiedInByHandAreFoundByTheNextRescan) {
  drain.Rescan();
  Spool("H.dd8", EventFile(1), 60);
  EXPECT_FALSE(Take()) << "not known before a rescan";
  clock.AdvanceMs(SpoolDrain::kRescanMs - 100);
  drain.Maintain();
  EXPECT_FALSE(Take());
  clock.AdvanceMs(100);
  drain.Maintain();
  EXPECT_EQ(index.Waiting(), 1u);
  EXPECT_TRUE(Take());
}

TEST_F(SpoolDrainTest, ANameThatHoldsAnotherEventAtTheAcknowledgementGoesAgain) {
  Spool("A.dd8", EventFile(1), 10);
  drain.Rescan();
  ASSERT_TRUE(Take());
  const Bytes second = EventFile(2);
  Spool("A.dd8", second, 10);  // put there by hand while the first was on its way
  EXPECT_EQ(index.Acknowledge(files, dir / "A.dd8", Content(handed[0])),
            SpoolIndex::AckOutcome::NotTheSameFile);
  EXPECT_EQ(ReadFileBytes(dir / "A.dd8"), second) << "never answered: kept";
  ASSERT_TRUE(Take()) << "and sent like any other file";
  EXPECT_EQ(handed.back().payload, Bytes(second.begin() + 4, second.end()));
}

// The acknowledgement reads and deletes without holding the index, so the writer
// never waits for it. A file written under the same name right after the delete
// (names repeat) is a new event: the acknowledgement leaves it known and waiting.
TEST_F(SpoolDrainTest, ANameWrittenAgainRightAfterTheDeleteStaysKnown) {
  struct WriterAfterRemove final : ForwardingFileSystem {
    using ForwardingFileSystem::ForwardingFileSystem;
    bool Remove(const fs::path& p) noexcept override {
      const bool removed = ForwardingFileSystem::Remove(p);
      if (then) then(p);
      return removed;
    }
    std::function<void(const fs::path&)> then;
  } meddling(files);
  Spool("A.dd8", EventFile(1), 10);
  drain.Rescan();
  ASSERT_TRUE(Take());
  std::future<void> writer;
  bool writerWaited = false;
  meddling.then = [&](const fs::path& p) {
    WriteFileBytes(p, EventFile(2));
    writer = std::async(std::launch::async, [this, p] { index.Add(p); });
    writerWaited = writer.wait_for(std::chrono::seconds(2)) != std::future_status::ready;
  };
  EXPECT_EQ(index.Acknowledge(meddling, dir / "A.dd8", Content(handed[0])),
            SpoolIndex::AckOutcome::Deleted);
  writer.wait();
  EXPECT_FALSE(writerWaited) << "the writer waited for the acknowledgement's disk work";
  EXPECT_EQ(index.Waiting(), 1u) << "the new file under the old name";
  ASSERT_TRUE(Take());
  EXPECT_EQ(handed.back().payload[0], 2);
}

TEST_F(SpoolDrainTest, AListingThatFailsForgetsNoFileStillOnDisk) {
  Spool("A.dd8", EventFile(1), 20);
  Spool("B.dd8", EventFile(2), 10);
  drain.Rescan();
  ASSERT_EQ(index.Waiting(), 2u);
  fs::remove(dir / "B.dd8");
  files.Fail(FaultyFileSystem::Op::List);  // the folder is there, its listing comes back empty
  drain.Rescan();
  EXPECT_TRUE(index.Knows(dir / "A.dd8")) << "waiting on disk, still to be sent";
  EXPECT_FALSE(index.Knows(dir / "B.dd8")) << "really gone";
  EXPECT_EQ(index.Waiting(), 1u);
}

TEST_F(SpoolDrainTest, FilesThatVanishAreForgottenWhenMetOrAtTheNextRescan) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  Spool("C.dd8", EventFile(3), 10);
  drain.Rescan();
  fs::remove(dir / "A.dd8");
  ASSERT_TRUE(Take());
  EXPECT_THAT(Names(), ElementsAre("B.dd8")) << "a vanished file is skipped, not reported";
  EXPECT_TRUE(oplog.Lines().empty());
  EXPECT_FALSE(index.Knows(dir / "A.dd8"));
  fs::remove(dir / "C.dd8");
  fs::remove(dir / "B.dd8");  // in flight: its answer settles it
  drain.Rescan();
  EXPECT_FALSE(index.Knows(dir / "C.dd8"));
  EXPECT_TRUE(index.Knows(dir / "B.dd8"));
  EXPECT_EQ(index.Acknowledge(files, dir / "B.dd8", Content(handed[0])),
            SpoolIndex::AckOutcome::Missing);
  EXPECT_EQ(index.Waiting(), 0u);
}

TEST_F(SpoolDrainTest, AFileWrittenWhileTheFolderIsListedIsKept) {
  // The listing misses the file the writer adds meanwhile; the rescan must not
  // forget it.
  class Racing final : public ForwardingFileSystem {
   public:
    Racing(FileSystem& inner, std::function<void()> during)
        : ForwardingFileSystem(inner), during_(std::move(during)) {}
    std::vector<DirEntry> List(const fs::path& d) noexcept override {
      auto listed = ForwardingFileSystem::List(d);
      during_();
      return listed;
    }

   private:
    std::function<void()> during_;
  } racing(files, [this] {
    Spool("N.dd8", EventFile(5), 0);
    index.Add(dir / "N.dd8");
  });
  index.Add(dir / "N.dd8");  // known from an earlier write under the same name
  EXPECT_TRUE(index.Rescan(racing));
  EXPECT_TRUE(index.Knows(dir / "N.dd8"));
  EXPECT_TRUE(Take());
}

TEST_F(SpoolDrainTest, ThousandsWaitingGoOldestFirstWithoutListingTheFolder) {
  for (int i = 0; i < 2000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%07X.dd8", 0x5265C00 + i);
    WriteFileBytes(dir / name, EventFile(static_cast<std::uint8_t>(i)));
    fs::last_write_time(dir / name, fs::file_time_type::clock::now() - std::chrono::hours(1) +
                                        std::chrono::milliseconds(i));
  }
  drain.Rescan();
  const int listings = files.Calls(FaultyFileSystem::Op::List);
  for (int i = 0; i < 2000; ++i) {
    const auto p = Take();
    ASSERT_TRUE(p);
    ASSERT_EQ(p->payload[0], static_cast<std::uint8_t>(i));
    Acknowledge(*p);
  }
  EXPECT_EQ(files.Calls(FaultyFileSystem::Op::List), listings);
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

// The operator is told when a backlog begins and when it has cleared.
TEST_F(SpoolDrainTest, BacklogBeginningAndEndAreLoggedOnce) {
  drain.DrainSpool();
  EXPECT_THAT(oplog.Lines(), IsEmpty());
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  drain.Rescan();
  drain.DrainSpool();
  drain.DrainSpool();
  ASSERT_EQ(oplog.Lines().size(), 1u);
  EXPECT_NE(oplog.Lines()[0].find(": 2."), std::string::npos) << oplog.Lines()[0];
  Acknowledge(*Take());
  drain.DrainSpool();
  EXPECT_EQ(oplog.Lines().size(), 1u);
  const auto last = Take(5000);
  drain.DrainSpool();
  ASSERT_EQ(oplog.Lines().size(), 2u) << "the last file on its way: cleared";
  EXPECT_NE(oplog.Lines()[1].find(": 1 за 5 с"), std::string::npos) << oplog.Lines()[1];
  Acknowledge(*last);
  drain.DrainSpool();
  EXPECT_EQ(oplog.Lines().size(), 2u);
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
  drain.Rescan();
  Take();
  EXPECT_FALSE(fs::exists(bad));
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad"), GetParam().content);
  ASSERT_EQ(oplog.Lines().size(), 1u);
  EXPECT_NE(oplog.Lines()[0].find("X.dd8"), std::string::npos);
  EXPECT_THAT(Names(), ElementsAre("G.dd8")) << "the bad file does not hold up the next";
  EXPECT_FALSE(index.Knows(bad));
  index.Release(handed[0].file);
  Take();
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
  drain.Rescan();
  ASSERT_TRUE(Take());
  EXPECT_EQ(handed[0].payload.size(), 64u * 1024 - 4);
}

TEST_F(SpoolDrainTest, FolderNamedLikeASpoolFileIsNeverReadOrDeleted) {
  fs::create_directory(dir / "D.dd8");
  std::error_code ec;  // Windows' C library cannot set a folder's time; the test holds without
  fs::last_write_time(dir / "D.dd8", fs::file_time_type::clock::now() - std::chrono::seconds(60),
                      ec);
  Spool("G.dd8", EventFile(1), 10);
  drain.Rescan();
  for (int i = 0; i < 4; ++i) {
    if (const auto p = Take(3001)) Refuse(*p);
  }
  EXPECT_THAT(Names(), ElementsAre("G.dd8", "G.dd8", "G.dd8", "G.dd8"));
  EXPECT_EQ(oplog.Lines().size(), 1u);
  EXPECT_TRUE(fs::is_directory(dir / "D.dd8") || fs::is_directory(dir / "D.dd8.bad"));
}

#ifndef _WIN32  // links and FIFOs
// Entries the driver never makes, named like spool files: each is set aside on the
// first look, never read through, never sent; what a link leads to stays untouched.
struct NonFileCase {
  friend void PrintTo(const NonFileCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::function<void(const fs::path& entry, const fs::path& outside)> plant;
};

class NonFileEntryTest : public SpoolDrainTest,
                         public ::testing::WithParamInterface<NonFileCase> {};

TEST_P(NonFileEntryTest, SetAsideAtOnceNeverReadNeverSent) {
  TempDir elsewhere;
  const fs::path outside = elsewhere.Path() / "secret";
  WriteFileBytes(outside, EventFile(7));  // would pass for an event if it were read
  const fs::path entry = dir / "L.dd8";
  GetParam().plant(entry, outside);
  Spool("G.dd8", EventFile(1), 10);
  drain.Rescan();
  ASSERT_TRUE(index.Knows(entry));
  // Two looks at the folder (the refused file waits meanwhile): whichever came
  // first, the entry has been looked at, and only the real file was ever handed on.
  ASSERT_TRUE(Take());
  Refuse(handed[0]);
  Take();
  EXPECT_THAT(Names(), ElementsAre("G.dd8"));
  std::error_code ec;
  EXPECT_FALSE(fs::exists(fs::symlink_status(entry, ec)));
  EXPECT_TRUE(fs::exists(fs::symlink_status(dir / "L.dd8.bad", ec))) << "set aside, not deleted";
  ASSERT_EQ(oplog.Lines().size(), 1u);
  EXPECT_NE(oplog.Lines()[0].find("L.dd8"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(outside), EventFile(7));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, NonFileEntryTest,
    ::testing::Values(
        NonFileCase{"LinkToAFileOutside",
                    [](const fs::path& e, const fs::path& out) { fs::create_symlink(out, e); }},
        NonFileCase{"DanglingLink",
                    [](const fs::path& e, const fs::path& out) {
                      fs::create_symlink(out.parent_path() / "none", e);
                    }},
        NonFileCase{"LinkToAFolder",
                    [](const fs::path& e, const fs::path& out) {
                      fs::create_directory_symlink(out.parent_path(), e);
                    }},
        NonFileCase{"Fifo", [](const fs::path& e,
                               const fs::path&) { ASSERT_EQ(::mkfifo(e.c_str(), 0600), 0); }},
        NonFileCase{"Folder", [](const fs::path& e, const fs::path&) { fs::create_directory(e); }}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

TEST_F(SpoolDrainTest, UnreadableThreeTriesInARowIsSetAside) {
  Spool("U.dd8", EventFile(1), 60);
  Spool("G.dd8", EventFile(2), 10);
  drain.Rescan();
  files.Fail(FaultyFileSystem::Op::ReadAll, "U.dd8");
  Take();
  EXPECT_THAT(Names(), ElementsAre("G.dd8"));
  Refuse(handed[0]);
  EXPECT_FALSE(Take(1000)) << "an unreadable file is tried again later, not at once";
  Take(2100);
  Refuse(handed.back());
  EXPECT_TRUE(oplog.Lines().empty());
  EXPECT_TRUE(fs::exists(dir / "U.dd8"));
  Take(3100);
  EXPECT_EQ(oplog.Lines().size(), 1u);
  EXPECT_TRUE(fs::exists(dir / "U.dd8.bad"));
  EXPECT_THAT(Names(), ElementsAre("G.dd8", "G.dd8", "G.dd8"));
}

TEST_F(SpoolDrainTest, ReadFailuresMustBeInARow) {
  Spool("U.dd8", EventFile(1), 60);
  drain.Rescan();
  files.Fail(FaultyFileSystem::Op::ReadAll, "U.dd8");
  Take();
  Take(3001);
  files.HealAll();
  ASSERT_TRUE(Take(3001));
  Refuse(handed[0]);
  files.Fail(FaultyFileSystem::Op::ReadAll, "U.dd8");
  Take(3001);
  Take(3001);
  EXPECT_TRUE(oplog.Lines().empty());
  EXPECT_TRUE(fs::exists(dir / "U.dd8"));
}

TEST_F(SpoolDrainTest, SetAsideMovesOnWhenTheBadNameIsTaken) {
  Spool("X.dd8", Bytes{1, 2}, 60);
  WriteFileBytes(dir / "X.dd8.bad", Bytes{9});
  drain.Rescan();
  Take();
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad"), Bytes{9});
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad1"), (Bytes{1, 2}));
}

TEST_F(SpoolDrainTest, FileThatCannotBeRenamedIsSkippedForTheRunAndReportedOnce) {
  Spool("X.dd8", Bytes{1, 2}, 60);
  Spool("G.dd8", EventFile(2), 10);
  drain.Rescan();
  files.Fail(FaultyFileSystem::Op::Rename, "X.dd8");
  Refuse(*Take());
  Take(3001);
  drain.Rescan();
  EXPECT_THAT(Names(), ElementsAre("G.dd8", "G.dd8"));
  EXPECT_EQ(oplog.Lines().size(), 1u);
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8"), (Bytes{1, 2})) << "never deleted";
  EXPECT_EQ(index.Waiting(), 1u) << "a settled file does not count as waiting";
}

TEST_F(SpoolDrainTest, UndeletableAcknowledgedFileIsNotHandedOverAgain) {
  Spool("A.dd8", EventFile(1), 30);
  Spool("B.dd8", EventFile(2), 20);
  drain.Rescan();
  files.Fail(FaultyFileSystem::Op::Remove, "A.dd8");
  Take();
  ASSERT_THAT(Names(), ElementsAre("A.dd8"));
  Bytes content = EventFile(1);
  EXPECT_EQ(index.Acknowledge(files, dir / "A.dd8", content), SpoolIndex::AckOutcome::Undeletable);
  EXPECT_EQ(index.Acknowledge(files, dir / "A.dd8", content),
            SpoolIndex::AckOutcome::AlreadyDelivered);
  Refuse(*Take());
  Take(3001);
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8", "B.dd8"));
}

TEST_F(SpoolDrainTest, AcknowledgementOfAnotherEventUnderTheSameNameLeavesTheFile) {
  Spool("A.dd8", EventFile(1), 30);
  drain.Rescan();
  Take();
  WriteFileBytes(dir / "A.dd8", EventFile(7));  // names repeat from month to month
  EXPECT_EQ(index.Acknowledge(files, dir / "A.dd8", Content(handed[0])),
            SpoolIndex::AckOutcome::NotTheSameFile);
  EXPECT_EQ(ReadFileBytes(dir / "A.dd8"), EventFile(7));
}

}  // namespace
}  // namespace kestrel::test
