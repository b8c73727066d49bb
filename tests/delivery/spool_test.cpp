// The spool: its file states as a table of transitions, the backlog against a
// fake worker (order, pace after refusals, set-aside files), the states against
// files appearing and vanishing behind its back, and the window thread's path
// against a worker on a slow disk.

#include "delivery/spool.h"

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
#include <utility>
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

}  // namespace

void PrintTo(SpoolFileState s, std::ostream* os) {
  constexpr const char* kNames[] = {"Waiting", "InFlight", "Deferred", "Settled"};
  *os << kNames[static_cast<int>(s)];
}

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Bytes EventFile(std::uint8_t n, std::size_t recordSize = 19) {
  Bytes b{0x3E, 0x00, 0x00, 0x03};
  b.resize(4 + recordSize, 0);
  if (recordSize > 0) b[4] = n;
  return b;
}

// A 19-byte event record whose first byte is n.
Bytes Record(std::uint8_t n) {
  Bytes b(19, 0);
  b[0] = n;
  return b;
}

class SpoolTest : public ::testing::Test {
 protected:
  // A spool file written `ageSeconds` ago.
  fs::path Put(const std::string& name, const Bytes& content, int ageSeconds) {
    const fs::path p = dir / name;
    WriteFileBytes(p, content);
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
    return p;
  }

  // What the worker does in a step with nothing fresher to send.
  std::optional<SpoolPacket> Take(std::uint32_t ms = 20) {
    clock.AdvanceMs(ms);
    auto p = spool.TakeNext();
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
    ASSERT_EQ(spool.Acknowledged(h.file, h.command, h.payload), Spool::AckOutcome::Deleted);
  }
  // The acknowledgement of a block that carried this file content.
  Spool::AckOutcome AckWith(const fs::path& file, const Bytes& content) {
    return spool.Acknowledged(file, static_cast<std::int32_t>(GetU32(content.data())),
                              ByteView(content).subspan(4));
  }
  // The server's reply did not come.
  void Refuse(const SpoolPacket& h) { spool.RetryLater(h.file, clock.TickMs()); }
  static Bytes Content(const SpoolPacket& h) { return EncodeSpoolFile(h.command, h.payload); }

  TempDir dir;
  FakeClock clock;
  FaultyFileSystem files;
  RecordingOperatorLog oplog;
  // Lets a test act in the middle of a removal or a listing.
  struct Meddling final : ForwardingFileSystem {
    using ForwardingFileSystem::ForwardingFileSystem;
    bool Remove(const fs::path& p) noexcept override {
      const bool removed = ForwardingFileSystem::Remove(p);
      if (afterRemove) afterRemove(p);
      return removed;
    }
    std::vector<DirEntry> List(const fs::path& d) noexcept override {
      auto listed = ForwardingFileSystem::List(d);
      if (duringList) duringList();
      return listed;
    }
    std::function<void(const fs::path&)> afterRemove;
    std::function<void()> duringList;
  } meddling{files};
  Spool spool{SpoolLocation{dir.Path(), ""}, meddling, clock, oplog};
  std::vector<SpoolPacket> handed;
};

TEST_F(SpoolTest, OldestFirstAndEachAcknowledgementLetsTheNextGoAtTheNextStep) {
  Put("A.dd8", EventFile(3), 10);
  Put("B.dd8", EventFile(1), 30);
  Put("C.dd8", EventFile(2), 20);
  spool.Rescan();
  EXPECT_EQ(spool.Waiting(), 3u);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Take());
    Acknowledge(handed.back());
  }
  EXPECT_THAT(Names(), ElementsAre("B.dd8", "C.dd8", "A.dd8"));
  EXPECT_EQ(handed[0].command, cmdEvent);
  const Bytes first = EventFile(1);
  EXPECT_EQ(handed[0].payload, Bytes(first.begin() + 4, first.end()));
  EXPECT_TRUE(fs::is_empty(dir.Path()));
  EXPECT_EQ(spool.Waiting(), 0u);
  EXPECT_EQ(spool.Delivered(), 3u);
}

TEST_F(SpoolTest, AFileAnsweredOtherwiseWaitsStrictlyMoreThanThreeSeconds) {
  Put("A.dd8", EventFile(1), 30);
  Put("B.dd8", EventFile(2), 20);
  spool.Rescan();
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

TEST_F(SpoolTest, PaceFollowsTheMonotonicTickNotTheWallClock) {
  Put("A.dd8", EventFile(1), 30);
  spool.Rescan();
  Refuse(*Take());
  clock.SetNow(clock.Now() + 2.0);  // the wall clock jumps two days
  EXPECT_FALSE(Take(100));
  clock.SetNow(clock.Now() - 5.0);
  EXPECT_TRUE(Take(2901));
}

TEST_F(SpoolTest, PaceWrapsWithTheTick) {
  Put("A.dd8", EventFile(1), 30);
  spool.Rescan();
  clock.SetTick(0xFFFFFFFFu - 1000);
  Refuse(*Take());
  EXPECT_FALSE(Take(2000));  // past the wrap
  EXPECT_TRUE(Take(1001));
}

TEST_F(SpoolTest, LinkDownPutsEverythingInFlightBackAtOnce) {
  Put("A.dd8", EventFile(1), 30);
  Put("B.dd8", EventFile(2), 20);
  spool.Rescan();
  Take();
  Take();
  EXPECT_FALSE(Take());
  EXPECT_EQ(spool.Backlog(), 0u);
  spool.LinkDown({handed[0].file, handed[1].file});
  EXPECT_EQ(spool.Backlog(), 2u);
  Take();
  Take();
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8", "A.dd8", "B.dd8"));
}

TEST_F(SpoolTest, ALiveClaimIsNeverOfferedTwiceAndNeverHandedOverByTheBacklog) {
  Put("A.dd8", EventFile(1), 30);
  spool.Rescan();
  const fs::path live = Put("L.dd8", EventFile(9), 0);
  spool.Rescan();
  ASSERT_TRUE(spool.Claim(live));
  EXPECT_FALSE(spool.Claim(live));
  Take();
  EXPECT_FALSE(Take());
  EXPECT_THAT(Names(), ElementsAre("A.dd8"));
  // Refused by a full queue: the live file joins the backlog, after files never
  // handed over.
  spool.Release(live);
  Put("B.dd8", EventFile(2), 0);
  spool.Rescan();
  Take();
  Take();
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8", "L.dd8"));
  EXPECT_FALSE(spool.Claim(dir / "A.dd8")) << "in flight from the backlog";
}

TEST_F(SpoolTest, AnyNameEndingInDd8IsDrainedAndNothingElse) {
  Put("not hex.DD8", Bytes{0x01, 0, 0, 0}, 30);
  Put("5265C00.dd8.part", EventFile(1), 60);
  Put("x.bad", EventFile(1), 60);
  Put("y.txt", EventFile(1), 60);
  Put("short.dd8", Bytes{0x02, 0, 0, 0, 1, 2, 3, 4, 5, 6}, 20);
  spool.Rescan();
  Take();
  Take();
  EXPECT_FALSE(Take());
  EXPECT_THAT(Names(), ElementsAre("not hex.DD8", "short.dd8"));
  EXPECT_TRUE(handed[0].payload.empty()) << "a 4-byte file has an empty payload";
  EXPECT_EQ(handed[1].command, 2);
  EXPECT_EQ(handed[1].payload.size(), 6u);
}

// The index against the folder changing behind its back.
TEST_F(SpoolTest, FilesCopiedInByHandAreFoundByTheNextRescan) {
  spool.Rescan();
  Put("H.dd8", EventFile(1), 60);
  EXPECT_FALSE(Take()) << "not known before a rescan";
  clock.AdvanceMs(Spool::kRescanMs - 100);
  spool.Maintain();
  EXPECT_FALSE(Take());
  clock.AdvanceMs(100);
  spool.Maintain();
  EXPECT_EQ(spool.Waiting(), 1u);
  EXPECT_TRUE(Take());
}

// The acknowledgement reads and deletes without holding the states, so the window
// thread never waits for it. A file written under the same name right after the
// delete (names repeat) is a new event: the acknowledgement leaves it waiting.
TEST_F(SpoolTest, ANameWrittenAgainRightAfterTheDeleteStaysKnown) {
  const DateTime first = clock.Now();
  const auto a = spool.Append(cmdEvent, Record(1));
  ASSERT_TRUE(a);
  clock.AdvanceMs(1000);
  ASSERT_TRUE(spool.Append(cmdEvent, Record(2)));  // the writer moves on to later names
  ASSERT_TRUE(Take());
  ASSERT_EQ(handed[0].file, *a);
  std::future<std::optional<fs::path>> writer;
  bool writerWaited = false;
  bool once = false;
  meddling.afterRemove = [&](const fs::path&) {
    if (std::exchange(once, true)) return;
    clock.SetNow(first);  // the same name again, as a day later
    writer = std::async(std::launch::async, [this] { return spool.Append(cmdEvent, Record(3)); });
    writerWaited = writer.wait_for(std::chrono::seconds(2)) != std::future_status::ready;
  };
  EXPECT_EQ(spool.Acknowledged(*a, cmdEvent, Record(1)), Spool::AckOutcome::Deleted);
  EXPECT_FALSE(writerWaited) << "the append waited for the acknowledgement's disk work";
  ASSERT_EQ(writer.get(), a) << "the same name";
  EXPECT_EQ(spool.StateOf(*a), SpoolFileState::Waiting) << "the new file under the old name";
  EXPECT_EQ(spool.Waiting(), 2u);
}

TEST_F(SpoolTest, AListingThatFailsForgetsNoFileStillOnDisk) {
  Put("A.dd8", EventFile(1), 20);
  Put("B.dd8", EventFile(2), 10);
  spool.Rescan();
  ASSERT_EQ(spool.Waiting(), 2u);
  fs::remove(dir / "B.dd8");
  files.Fail(FaultyFileSystem::Op::List);  // the folder is there, its listing comes back empty
  spool.Rescan();
  EXPECT_TRUE(spool.StateOf(dir / "A.dd8").has_value()) << "waiting on disk, still to be sent";
  EXPECT_FALSE(spool.StateOf(dir / "B.dd8").has_value()) << "really gone";
  EXPECT_EQ(spool.Waiting(), 1u);
}

TEST_F(SpoolTest, FilesThatVanishAreForgottenWhenMetOrAtTheNextRescan) {
  Put("A.dd8", EventFile(1), 30);
  Put("B.dd8", EventFile(2), 20);
  Put("C.dd8", EventFile(3), 10);
  spool.Rescan();
  fs::remove(dir / "A.dd8");
  ASSERT_TRUE(Take());
  EXPECT_THAT(Names(), ElementsAre("B.dd8")) << "a vanished file is skipped, not reported";
  EXPECT_TRUE(oplog.Lines().empty());
  EXPECT_FALSE(spool.StateOf(dir / "A.dd8").has_value());
  fs::remove(dir / "C.dd8");
  fs::remove(dir / "B.dd8");  // in flight: its answer settles it
  spool.Rescan();
  EXPECT_FALSE(spool.StateOf(dir / "C.dd8").has_value());
  EXPECT_TRUE(spool.StateOf(dir / "B.dd8").has_value());
  EXPECT_EQ(AckWith(dir / "B.dd8", Content(handed[0])), Spool::AckOutcome::Missing);
  EXPECT_EQ(spool.Waiting(), 0u);
}

TEST_F(SpoolTest, AFileWrittenWhileTheFolderIsListedIsKept) {
  // The listing misses the file appended meanwhile; the rescan must not forget it.
  std::optional<fs::path> appended;
  meddling.duringList = [&] {
    if (appended) return;
    appended = spool.Append(cmdEvent, Record(5));
  };
  EXPECT_TRUE(spool.Rescan());
  ASSERT_TRUE(appended);
  EXPECT_EQ(spool.StateOf(*appended), SpoolFileState::Waiting);
  EXPECT_TRUE(Take());
}

TEST_F(SpoolTest, ThousandsWaitingGoOldestFirstWithoutListingTheFolder) {
  for (int i = 0; i < 2000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%07X.dd8", 0x5265C00 + i);
    WriteFileBytes(dir / name, EventFile(static_cast<std::uint8_t>(i)));
    fs::last_write_time(dir / name, fs::file_time_type::clock::now() - std::chrono::hours(1) +
                                        std::chrono::milliseconds(i));
  }
  spool.Rescan();
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
TEST_F(SpoolTest, BacklogBeginningAndEndAreLoggedOnce) {
  spool.ReportBacklog();
  EXPECT_THAT(oplog.Lines(), IsEmpty());
  Put("A.dd8", EventFile(1), 30);
  Put("B.dd8", EventFile(2), 20);
  spool.Rescan();
  spool.ReportBacklog();
  spool.ReportBacklog();
  ASSERT_EQ(oplog.Lines().size(), 1u);
  EXPECT_NE(oplog.Lines()[0].find(": 2."), std::string::npos) << oplog.Lines()[0];
  Acknowledge(*Take());
  spool.ReportBacklog();
  EXPECT_EQ(oplog.Lines().size(), 1u);
  const auto last = Take(5000);
  spool.ReportBacklog();
  ASSERT_EQ(oplog.Lines().size(), 2u) << "the last file on its way: cleared";
  EXPECT_NE(oplog.Lines()[1].find(": 1 за 5 с"), std::string::npos) << oplog.Lines()[1];
  Acknowledge(*last);
  spool.ReportBacklog();
  EXPECT_EQ(oplog.Lines().size(), 2u);
}

struct SetAsideCase {
  friend void PrintTo(const SetAsideCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Bytes content;
};

class SetAsideTest : public SpoolTest, public ::testing::WithParamInterface<SetAsideCase> {};

TEST_P(SetAsideTest, RenamedAsideReportedOnceNeverDeleted) {
  const fs::path bad = Put("X.dd8", GetParam().content, 60);
  Put("G.dd8", EventFile(1), 10);
  spool.Rescan();
  Take();
  EXPECT_FALSE(fs::exists(bad));
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad"), GetParam().content);
  ASSERT_EQ(oplog.Lines().size(), 1u);
  EXPECT_NE(oplog.Lines()[0].find("X.dd8"), std::string::npos);
  EXPECT_THAT(Names(), ElementsAre("G.dd8")) << "the bad file does not hold up the next";
  EXPECT_FALSE(spool.StateOf(bad).has_value());
  spool.Release(handed[0].file);
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

TEST_F(SpoolTest, LargestAcceptedFileIs64KiB) {
  Put("X.dd8", Bytes(64 * 1024, 1), 60);
  spool.Rescan();
  ASSERT_TRUE(Take());
  EXPECT_EQ(handed[0].payload.size(), 64u * 1024 - 4);
}

TEST_F(SpoolTest, FolderNamedLikeASpoolFileIsNeverReadOrDeleted) {
  fs::create_directory(dir / "D.dd8");
  std::error_code ec;  // Windows' C library cannot set a folder's time; the test holds without
  fs::last_write_time(dir / "D.dd8", fs::file_time_type::clock::now() - std::chrono::seconds(60),
                      ec);
  Put("G.dd8", EventFile(1), 10);
  spool.Rescan();
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

class NonFileEntryTest : public SpoolTest, public ::testing::WithParamInterface<NonFileCase> {};

TEST_P(NonFileEntryTest, SetAsideAtOnceNeverReadNeverSent) {
  TempDir elsewhere;
  const fs::path outside = elsewhere.Path() / "secret";
  WriteFileBytes(outside, EventFile(7));  // would pass for an event if it were read
  const fs::path entry = dir / "L.dd8";
  GetParam().plant(entry, outside);
  Put("G.dd8", EventFile(1), 10);
  spool.Rescan();
  ASSERT_TRUE(spool.StateOf(entry).has_value());
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

TEST_F(SpoolTest, UnreadableThreeTriesInARowIsSetAside) {
  Put("U.dd8", EventFile(1), 60);
  Put("G.dd8", EventFile(2), 10);
  spool.Rescan();
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

TEST_F(SpoolTest, ReadFailuresMustBeInARow) {
  Put("U.dd8", EventFile(1), 60);
  spool.Rescan();
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

TEST_F(SpoolTest, SetAsideMovesOnWhenTheBadNameIsTaken) {
  Put("X.dd8", Bytes{1, 2}, 60);
  WriteFileBytes(dir / "X.dd8.bad", Bytes{9});
  spool.Rescan();
  Take();
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad"), Bytes{9});
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8.bad1"), (Bytes{1, 2}));
}

TEST_F(SpoolTest, FileThatCannotBeRenamedIsSkippedForTheRunAndReportedOnce) {
  Put("X.dd8", Bytes{1, 2}, 60);
  Put("G.dd8", EventFile(2), 10);
  spool.Rescan();
  files.Fail(FaultyFileSystem::Op::Rename, "X.dd8");
  Refuse(*Take());
  Take(3001);
  spool.Rescan();
  EXPECT_THAT(Names(), ElementsAre("G.dd8", "G.dd8"));
  EXPECT_EQ(oplog.Lines().size(), 1u);
  EXPECT_EQ(ReadFileBytes(dir / "X.dd8"), (Bytes{1, 2})) << "never deleted";
  EXPECT_EQ(spool.Waiting(), 1u) << "a settled file does not count as waiting";
}

TEST_F(SpoolTest, UndeletableAcknowledgedFileIsNotHandedOverAgain) {
  Put("A.dd8", EventFile(1), 30);
  Put("B.dd8", EventFile(2), 20);
  spool.Rescan();
  files.Fail(FaultyFileSystem::Op::Remove, "A.dd8");
  Take();
  ASSERT_THAT(Names(), ElementsAre("A.dd8"));
  Bytes content = EventFile(1);
  EXPECT_EQ(AckWith(dir / "A.dd8", content), Spool::AckOutcome::Undeletable);
  EXPECT_EQ(AckWith(dir / "A.dd8", content), Spool::AckOutcome::AlreadyDelivered);
  Refuse(*Take());
  Take(3001);
  EXPECT_THAT(Names(), ElementsAre("A.dd8", "B.dd8", "B.dd8"));
}

// ---------------------------------------------------------------- file states

enum class Op {
  Claim,
  Take,
  TakeAfterDelay,
  Release,
  RetryLater,
  Refuse,
  LinkDown,
  AckSame,
  AckRewritten,  // the name holds another event by the time the acknowledgement comes
  AckVanished,
  AckUndeletable,
  LinkDownThenAck,  // the link went down before the late acknowledgement came
  RescanPresent,
  RescanVanished,
};

struct Transition {
  friend void PrintTo(const Transition& t, std::ostream* os) { *os << t.name; }
  const char* name;
  SpoolFileState from;
  Op op;
  std::optional<SpoolFileState> to;  // nothing: forgotten
  std::string outcome;               // what the operation returned, if anything
};

class SpoolStateTest : public SpoolTest, public ::testing::WithParamInterface<Transition> {
 protected:
  // One file, brought to a state the way the link brings it there.
  fs::path Bring(SpoolFileState state) {
    const fs::path file = Put("F.dd8", EventFile(1), 10);
    spool.Rescan();
    if (state == SpoolFileState::Waiting) return file;
    EXPECT_TRUE(Take());
    if (state == SpoolFileState::Deferred) spool.Refused(file, clock.TickMs());
    if (state == SpoolFileState::Settled) {
      files.Fail(FaultyFileSystem::Op::Remove, "F.dd8");
      EXPECT_EQ(AckWith(file, EventFile(1)), Spool::AckOutcome::Undeletable);
      files.HealAll();
    }
    return file;
  }

  static std::string Text(Spool::AckOutcome o) {
    constexpr const char* kNames[] = {"Deleted", "Missing", "NotTheSameFile", "Undeletable",
                                      "AlreadyDelivered"};
    return kNames[static_cast<int>(o)];
  }

  std::string Apply(Op op, const fs::path& file) {
    const auto taken = [&] {
      const auto p = spool.TakeNext();
      return p ? p->file.filename().string() : std::string("none");
    };
    switch (op) {
      case Op::Claim:
        return spool.Claim(file) ? "true" : "false";
      case Op::Take:
        return taken();
      case Op::TakeAfterDelay:
        clock.AdvanceMs(Spool::kRetryAfterMs + 1);
        return taken();
      case Op::Release:
        spool.Release(file);
        return "";
      case Op::RetryLater:
        spool.RetryLater(file, clock.TickMs());
        return "";
      case Op::Refuse:
        return spool.Refused(file, clock.TickMs()) ? "true" : "false";
      case Op::LinkDown:
        spool.LinkDown({file});
        return "";
      case Op::AckSame:
        return Text(AckWith(file, EventFile(1)));
      case Op::AckRewritten:
        WriteFileBytes(file, EventFile(7));  // names repeat from month to month
        return Text(AckWith(file, EventFile(1)));
      case Op::AckVanished:
        fs::remove(file);
        return Text(AckWith(file, EventFile(1)));
      case Op::AckUndeletable:
        files.Fail(FaultyFileSystem::Op::Remove, "F.dd8");
        return Text(AckWith(file, EventFile(1)));
      case Op::LinkDownThenAck:
        spool.LinkDown({file});
        return Text(AckWith(file, EventFile(1)));
      case Op::RescanPresent:
        spool.Rescan();
        return "";
      case Op::RescanVanished:
        fs::remove(file);
        spool.Rescan();
        return "";
    }
    return "";
  }
};

TEST_P(SpoolStateTest, OneOperationMovesOneFile) {
  const Transition& t = GetParam();
  const fs::path file = Bring(t.from);
  ASSERT_EQ(spool.StateOf(file), t.from);
  EXPECT_EQ(Apply(t.op, file), t.outcome);
  EXPECT_EQ(spool.StateOf(file), t.to);
  // The counts follow the state.
  const bool counted = t.to && *t.to != SpoolFileState::Settled;
  EXPECT_EQ(spool.Waiting(), counted ? 1u : 0u);
  EXPECT_EQ(spool.Backlog(), counted && *t.to != SpoolFileState::InFlight ? 1u : 0u);
  // Never deleted unless acknowledged with its own content.
  if (t.outcome != "Deleted" && t.op != Op::AckVanished && t.op != Op::RescanVanished) {
    EXPECT_TRUE(fs::exists(file));
  }
}

using S = SpoolFileState;
INSTANTIATE_TEST_SUITE_P(
    Table, SpoolStateTest,
    ::testing::Values(
        Transition{"WaitingClaimed", S::Waiting, Op::Claim, S::InFlight, "true"},
        Transition{"InFlightNotClaimedTwice", S::InFlight, Op::Claim, S::InFlight, "false"},
        Transition{"DeferredClaimedLive", S::Deferred, Op::Claim, S::InFlight, "true"},
        Transition{"SettledNeverClaimed", S::Settled, Op::Claim, S::Settled, "false"},
        Transition{"WaitingTaken", S::Waiting, Op::Take, S::InFlight, "F.dd8"},
        Transition{"InFlightNotTakenTwice", S::InFlight, Op::Take, S::InFlight, "none"},
        Transition{"DeferredNotTakenBeforeItsDelay", S::Deferred, Op::Take, S::Deferred, "none"},
        Transition{"DeferredTakenAfterItsDelay", S::Deferred, Op::TakeAfterDelay, S::InFlight,
                   "F.dd8"},
        Transition{"SettledNeverTaken", S::Settled, Op::TakeAfterDelay, S::Settled, "none"},
        Transition{"InFlightReleased", S::InFlight, Op::Release, S::Waiting, ""},
        Transition{"DeferredStaysDeferredOnRelease", S::Deferred, Op::Release, S::Deferred, ""},
        Transition{"InFlightUnanswered", S::InFlight, Op::RetryLater, S::Deferred, ""},
        Transition{"InFlightRefusedToldOnce", S::InFlight, Op::Refuse, S::Deferred, "true"},
        Transition{"WaitingRefusedIgnored", S::Waiting, Op::Refuse, S::Waiting, "false"},
        Transition{"InFlightAtLinkDown", S::InFlight, Op::LinkDown, S::Waiting, ""},
        Transition{"DeferredAtLinkDown", S::Deferred, Op::LinkDown, S::Deferred, ""},
        Transition{"InFlightAcknowledged", S::InFlight, Op::AckSame, std::nullopt, "Deleted"},
        Transition{"AckOfAFileRewrittenUnderTheSameName", S::InFlight, Op::AckRewritten, S::Waiting,
                   "NotTheSameFile"},
        Transition{"AckOfAVanishedFile", S::InFlight, Op::AckVanished, std::nullopt, "Missing"},
        Transition{"AckButUndeletable", S::InFlight, Op::AckUndeletable, S::Settled, "Undeletable"},
        Transition{"SettledAckedAgain", S::Settled, Op::AckSame, S::Settled, "AlreadyDelivered"},
        Transition{"AckAfterLinkDown", S::InFlight, Op::LinkDownThenAck, std::nullopt, "Deleted"},
        Transition{"AckOfADeferredFile", S::Deferred, Op::AckSame, std::nullopt, "Deleted"},
        Transition{"RescanWhileInFlight", S::InFlight, Op::RescanVanished, S::InFlight, ""},
        Transition{"RescanForgetsAVanishedWaitingFile", S::Waiting, Op::RescanVanished,
                   std::nullopt, ""},
        Transition{"RefuseThenRescan", S::Deferred, Op::RescanPresent, S::Deferred, ""},
        Transition{"RescanForgetsAVanishedDeferredFile", S::Deferred, Op::RescanVanished,
                   std::nullopt, ""},
        Transition{"SettledKeptByRescan", S::Settled, Op::RescanPresent, S::Settled, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- retry delays

// The retry delay of a file the server turns away: 3 s, doubling with each refusal
// up to 5 min; a file whose reply did not come waits 3 s and keeps its count.
class SpoolRetryTest : public SpoolTest {
 protected:
  SpoolRetryTest() {
    file = Put("R.dd8", EventFile(1), 10);
    spool.Rescan();
  }
  std::optional<fs::path> TakeAt(std::uint32_t now) {
    clock.SetTick(now);
    const auto p = spool.TakeNext();
    return p ? std::optional<fs::path>(p->file) : std::nullopt;
  }
  // Takes the file at `now`, refuses it there; returns the delay it then waits.
  std::uint32_t RefuseAndMeasure(std::uint32_t now) {
    EXPECT_EQ(TakeAt(now), file);
    spool.Refused(file, now);
    const std::optional<std::uint32_t> due = spool.NextDueInMs(now);
    EXPECT_TRUE(due);
    const std::uint32_t delay = due.value_or(0) - 1;
    // Not at the delay itself, only after it.
    EXPECT_FALSE(TakeAt(now + delay));
    EXPECT_EQ(spool.Backlog(), 1u) << "a deferred file is still in the backlog";
    return delay;
  }
  fs::path file;
};

TEST_F(SpoolRetryTest, DelayDoublesUpToFiveMinutes) {
  const std::uint32_t expected[] = {3000,  6000,   12000,  24000,  48000,
                                    96000, 192000, 300000, 300000, 300000};
  std::uint32_t now = 0xFFFF0000u;  // across the tick's wrap-around
  for (std::uint32_t want : expected) {
    EXPECT_EQ(RefuseAndMeasure(now), want);
    now += want + 1;
  }
}

TEST_F(SpoolRetryTest, OnlyTheFirstRefusalIsTold) {
  ASSERT_TRUE(TakeAt(0));
  EXPECT_TRUE(spool.Refused(file, 0));
  ASSERT_TRUE(TakeAt(3001));
  EXPECT_FALSE(spool.Refused(file, 3001));
  EXPECT_EQ(oplog.Lines().size(), 1u);
  // A new file under the same name starts afresh.
  fs::remove(file);
  spool.Rescan();
  Put("R.dd8", EventFile(2), 0);
  spool.Rescan();
  ASSERT_TRUE(TakeAt(3002));
  EXPECT_TRUE(spool.Refused(file, 3002));
  EXPECT_EQ(oplog.Lines().size(), 2u);
}

TEST_F(SpoolRetryTest, AnUnansweredFileWaitsThreeSecondsWhateverItsRefusals) {
  RefuseAndMeasure(0);
  RefuseAndMeasure(3001);
  ASSERT_EQ(TakeAt(9002), file);
  spool.RetryLater(file, 9002u);  // no answer this time
  EXPECT_FALSE(TakeAt(12002));
  EXPECT_EQ(TakeAt(12003), file);
  spool.Refused(file, 12003);  // the third refusal
  EXPECT_FALSE(TakeAt(12003 + 12000));
  EXPECT_EQ(TakeAt(12003 + 12001), file);
}

TEST_F(SpoolRetryTest, AnEarlierDeferralDoesNotFreeALaterOne) {
  ASSERT_TRUE(TakeAt(0));
  spool.RetryLater(file, 0u);      // 3 s
  ASSERT_TRUE(spool.Claim(file));  // offered live meanwhile
  spool.Refused(file, 100);        // the first refusal: 3 s from 100
  spool.Refused(file, 100);        // not in flight: ignored
  EXPECT_FALSE(TakeAt(3001)) << "the stale 3 s deferral from 0 frees nothing";
  EXPECT_EQ(TakeAt(3101), file);
}

}  // namespace
}  // namespace kestrel::test
