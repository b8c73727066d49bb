#include "receiver/transmitter_table.h"

#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#endif

#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/group_flusher.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using Op = test::FaultyFileSystem::Op;

TransmitterRecord Rec(TransmitterId id, std::uint16_t serial, std::uint8_t s1 = 0,
                      std::uint8_t s2 = 132) {
  TransmitterRecord r;
  r.IdLow = static_cast<std::uint8_t>(id);
  r.IdMid = static_cast<std::uint8_t>(id >> 8);
  r.IdHigh = static_cast<std::uint8_t>(id >> 16);
  r.SerialNo = serial;
  r.Status1 = s1;
  r.Status2 = s2;
  r.LastHeard = 45000.25;
  return r;
}

Bytes Image(const std::vector<TransmitterRecord>& records) {
  Bytes out(records.size() * kTransmitterRecordSize);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EncodeTransmitterRecord(records[i], out.data() + i * kTransmitterRecordSize);
  }
  return out;
}

class TransmitterTableTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir_ / "num.mmm"; }
  Bytes OnDisk() const { return test::ReadFileBytes(File()); }
  void Load() { table_.LoadTable(); }

  test::TempDir dir_;
  test::FaultyFileSystem fs_;
  test::FakeClock clock_{46000.5};
  test::RecordingOperatorLog log_;
  TransmitterTable table_{dir_ / "num.mmm", fs_, clock_, log_};
};

TEST_F(TransmitterTableTest, FirstTransmitterCreatesTheFile) {
  Load();
  EXPECT_EQ(table_.Count(), 0u);
  EXPECT_FALSE(fs_.Exists(File()));

  const FoundTransmitter f = table_.FindOrAdd(0x0A1B2C);
  EXPECT_TRUE(f.added);
  EXPECT_EQ(f.position, 0u);
  EXPECT_EQ(f.record, (TransmitterRecord{0x2C, 0x1B, 0x0A, 1, 0, 132, 46000.5, 0}));

  Bytes expected = {0x2C, 0x1B, 0x0A, 0x01, 0x00, 0x00, 0x84};
  Bytes when(8);
  PutF64(when.data(), 46000.5);
  expected.insert(expected.end(), when.begin(), when.end());
  expected.push_back(0x00);
  EXPECT_EQ(table_.Image(), expected);
  EXPECT_EQ(OnDisk(), expected);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(TransmitterTableTest, KnownTransmitterIsFoundWhereItWas) {
  test::WriteFileBytes(File(), Image({Rec(5, 1), Rec(6, 2), Rec(7, 3)}));
  Load();
  clock_.AdvanceMs(60000);
  const FoundTransmitter f = table_.FindOrAdd(6);
  EXPECT_FALSE(f.added);
  EXPECT_EQ(f.position, 16u);
  EXPECT_EQ(f.record, Rec(6, 2));
  EXPECT_EQ(table_.Count(), 3u);
  EXPECT_EQ(OnDisk(), Image({Rec(5, 1), Rec(6, 2), Rec(7, 3)}));
}

TEST_F(TransmitterTableTest, SerialNoFollowsTheLastRecord) {
  const struct {
    std::vector<std::uint16_t> serials;  // of the records already in the file
    std::uint16_t next;
  } cases[] = {
      {{}, 1}, {{7}, 8}, {{100, 3, 7}, 8}, {{65535}, 0}, {{1, 65535}, 0}, {{65534, 0}, 1},
  };
  for (const auto& c : cases) {
    std::vector<TransmitterRecord> records;
    for (std::size_t i = 0; i < c.serials.size(); ++i) {
      records.push_back(Rec(static_cast<TransmitterId>(i + 1), c.serials[i]));
    }
    test::WriteFileBytes(File(), Image(records));
    Load();
    const FoundTransmitter f = table_.FindOrAdd(0xABCDEF);
    EXPECT_TRUE(f.added);
    EXPECT_EQ(f.record.SerialNo, c.next) << "after " << records.size() << " records";
    EXPECT_EQ(f.position, records.size() * 16);
    records.push_back(f.record);
    EXPECT_EQ(OnDisk(), Image(records));
  }
}

TEST_F(TransmitterTableTest, NewRecordLeavesOthersAloneAndTakesItsWriteBack) {
  const std::vector<TransmitterRecord> before = {Rec(1, 1, 3, 4), Rec(2, 2, 5, 6)};
  test::WriteFileBytes(File(), Image(before));
  Load();
  const FoundTransmitter f = table_.FindOrAdd(3);
  TransmitterRecord updated = f.record;
  updated.Status1 = 0x11;
  updated.Status2 = 0x22;
  updated.LastHeard = 46001.0;
  table_.WriteBack(f.position, updated);
  EXPECT_EQ(OnDisk(), Image({before[0], before[1], updated}));
  EXPECT_EQ(table_.RecordAt(32), updated);
}

TEST_F(TransmitterTableTest, FirstOfDuplicateIdsWins) {
  test::WriteFileBytes(File(), Image({Rec(9, 1), Rec(8, 2), Rec(9, 3)}));
  Load();
  EXPECT_EQ(table_.Find(9), 0u);
  EXPECT_EQ(table_.FindOrAdd(9).position, 0u);
  // Writing back the later duplicate does not make it the one found.
  table_.WriteBack(32, Rec(9, 3, 1, 1));
  EXPECT_EQ(table_.FindOrAdd(9).record, Rec(9, 1));
  EXPECT_EQ(table_.Find(0x123456), std::nullopt);
}

TEST_F(TransmitterTableTest, WriteBackChangingTheIdKeepsTheIndexTrue) {
  test::WriteFileBytes(File(), Image({Rec(1, 1), Rec(2, 2), Rec(1, 3)}));
  Load();
  table_.WriteBack(0, Rec(4, 1));
  EXPECT_EQ(table_.Find(4), 0u);
  EXPECT_EQ(table_.Find(1), 32u);  // the remaining record of id 1
  EXPECT_EQ(OnDisk(), table_.Image());
}

TEST_F(TransmitterTableTest, IdsAreTwentyFourBits) {
  Load();
  const FoundTransmitter f = table_.FindOrAdd(0x7F0A1B2C);
  EXPECT_EQ(f.record.Id(), 0x0A1B2Cu);
  EXPECT_EQ(table_.FindOrAdd(0x0A1B2C).position, f.position);
  EXPECT_EQ(table_.Count(), 1u);
}

TEST_F(TransmitterTableTest, BadPositionsAreRefused) {
  test::WriteFileBytes(File(), Image({Rec(1, 1), Rec(2, 2)}));
  Load();
  for (TablePosition p : {TablePosition{8}, TablePosition{32}, TablePosition{1000}}) {
    EXPECT_THROW(table_.RecordAt(p), std::out_of_range) << p;
    EXPECT_THROW(table_.WriteBack(p, Rec(3, 3)), std::out_of_range) << p;
  }
  EXPECT_EQ(OnDisk(), Image({Rec(1, 1), Rec(2, 2)}));
}

TEST_F(TransmitterTableTest, FileMatchesImageAfterEveryChange) {
  Load();
  std::mt19937 random(12345);
  for (int step = 0; step < 400; ++step) {
    clock_.AdvanceMs(250);
    const TransmitterId id = random() % 64;
    const FoundTransmitter f = table_.FindOrAdd(id);
    ASSERT_EQ(OnDisk(), table_.Image()) << "step " << step;
    if (random() % 2 == 0) {
      TransmitterRecord r = f.record;
      r.Status1 = static_cast<std::uint8_t>(random());
      r.Status2 = static_cast<std::uint8_t>(random());
      r.LastHeard = clock_.Now();
      r.NoTestFlag = static_cast<std::uint8_t>(random() % 2);
      table_.WriteBack(f.position, r);
      ASSERT_EQ(OnDisk(), table_.Image()) << "step " << step;
    }
  }
  // The file is never deleted, and in steady running never rewritten whole.
  EXPECT_EQ(fs_.Calls(Op::Remove), 0);
  EXPECT_LE(fs_.Calls(Op::Replace), 1);  // only to create it
  // Reloading gives back the same table.
  TransmitterTable again(File(), fs_, clock_, log_);
  again.LoadTable();
  EXPECT_EQ(again.Image(), table_.Image());
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(TransmitterTableTest, FileRemovedWhileRunningIsWrittenWhole) {
  Load();
  table_.FindOrAdd(1);
  table_.FindOrAdd(2);
  std::filesystem::remove(File());
  table_.WriteBack(16, Rec(2, 2, 9, 9));
  EXPECT_EQ(OnDisk(), table_.Image());
  EXPECT_EQ(table_.Count(), 2u);
}

TEST_F(TransmitterTableTest, OddLengthKeepsWholeRecords) {
  for (bool truncateFails : {false, true}) {
    SCOPED_TRACE(truncateFails ? "truncate fails" : "truncate works");
    fs_.HealAll();
    log_.Clear();
    Bytes content = Image({Rec(1, 1), Rec(2, 2)});
    content.insert(content.end(), {0xAA, 0xBB, 0xCC, 0xDD, 0xEE});
    test::WriteFileBytes(File(), content);
    if (truncateFails) fs_.Fail(Op::Truncate);

    Load();
    EXPECT_EQ(table_.Count(), 2u);
    EXPECT_EQ(table_.Image(), Image({Rec(1, 1), Rec(2, 2)}));
    ASSERT_EQ(log_.Lines().size(), 1u);
    EXPECT_EQ(log_.Lines()[0],
              "Длина таблицы передатчиков (num.mmm) не кратна 16 байтам: последние 5 байт "
              "отброшены.");
    if (!truncateFails) {
      EXPECT_EQ(OnDisk(), table_.Image());
    }

    // The next record goes to the next whole-record position, on disk as well.
    const FoundTransmitter f = table_.FindOrAdd(3);
    EXPECT_EQ(f.position, 32u);
    EXPECT_EQ(f.record.SerialNo, 3);
    EXPECT_EQ(OnDisk(), table_.Image());
    EXPECT_EQ(log_.Lines().size(), 1u);
  }
}

TEST_F(TransmitterTableTest, UnreadableFileIsPutAside) {
  const Bytes original = Image({Rec(1, 1)});
  const struct {
    const char* name;
    bool asideTaken;  // num.mmm.unreadable exists already
    const char* asideName;
  } cases[] = {
      {"first", false, "num.mmm.unreadable"},
      {"second", true, "num.mmm.unreadable.2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    fs_.HealAll();
    std::filesystem::remove(File());
    std::filesystem::remove(dir_ / "num.mmm.unreadable.2");
    if (c.asideTaken) test::WriteFileText(dir_ / "num.mmm.unreadable", "earlier");
    test::WriteFileBytes(File(), original);
    fs_.Fail(Op::ReadAll, "num.mmm");

    // A table of its own per case: its open file is closed before the next case
    // removes num.mmm (Windows keeps the name of an open file that is removed).
    TransmitterTable table{File(), fs_, clock_, log_};
    table.LoadTable();
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_FALSE(std::filesystem::exists(File()));
    EXPECT_EQ(test::ReadFileBytes(dir_ / c.asideName), original);
    EXPECT_EQ(log_.Lines(),
              std::vector<std::string>{"Не удалось прочитать таблицу передатчиков (num.mmm). "
                                       "Файл переименован в " +
                                       std::string(c.asideName) + ", таблица начата заново."});

    const FoundTransmitter f = table.FindOrAdd(0x42);
    EXPECT_EQ(f.record.SerialNo, 1);
    EXPECT_EQ(OnDisk(), table.Image());
    EXPECT_EQ(test::ReadFileBytes(dir_ / c.asideName), original);
  }
}

TEST_F(TransmitterTableTest, UnreadableFileThatCannotBeMovedIsNeverOverwritten) {
  const Bytes original = Image({Rec(1, 1)});
  test::WriteFileBytes(File(), original);
  fs_.Fail(Op::ReadAll, "num.mmm");
  fs_.Fail(Op::Rename);

  Load();
  ASSERT_EQ(log_.Lines().size(), 1u);
  EXPECT_NE(log_.Lines()[0].find("Не удалось прочитать файл таблицы передатчиков (num.mmm)"),
            std::string::npos);

  const FoundTransmitter f = table_.FindOrAdd(0x42);
  EXPECT_TRUE(f.added);
  table_.WriteBack(f.position, Rec(0x42, 1, 1, 1));
  EXPECT_EQ(OnDisk(), original);
  EXPECT_TRUE(table_.SaveFailing());
  EXPECT_EQ(log_.Lines().back(), "Не удалось сохранить таблицу передатчиков (num.mmm).");
  EXPECT_EQ(log_.Lines().size(), 2u);

  fs_.HealAll();
  table_.FindOrAdd(0x43);
  EXPECT_EQ(test::ReadFileBytes(dir_ / "num.mmm.unreadable"), original);
  EXPECT_EQ(OnDisk(), table_.Image());
  EXPECT_EQ(table_.Count(), 2u);
  EXPECT_FALSE(table_.SaveFailing());
  EXPECT_EQ(log_.Lines().back(), "Таблица передатчиков (num.mmm) снова сохраняется.");
}

TEST_F(TransmitterTableTest, FailedSaveKeepsTheChangeAndRetries) {
  test::WriteFileBytes(File(), Image({Rec(1, 1)}));
  Load();
  // A full disk: neither the in-place write nor a replacement works.
  fs_.Fail(Op::WriteAt);
  fs_.Fail(Op::Replace);

  const FoundTransmitter f = table_.FindOrAdd(2);
  EXPECT_TRUE(f.added);
  EXPECT_EQ(f.position, 16u);
  EXPECT_EQ(f.record.SerialNo, 2);
  EXPECT_EQ(table_.FindOrAdd(2).position, 16u);  // the image keeps it
  TransmitterRecord r = f.record;
  r.Status1 = 5;
  table_.WriteBack(f.position, r);
  EXPECT_EQ(OnDisk(), Image({Rec(1, 1)}));
  EXPECT_EQ(log_.Lines(),
            std::vector<std::string>{"Не удалось сохранить таблицу передатчиков (num.mmm)."});

  // Only the record at position 0 changes next, yet the whole image reaches the file.
  fs_.HealAll();
  table_.WriteBack(0, Rec(1, 1, 7, 7));
  EXPECT_EQ(OnDisk(), table_.Image());
  EXPECT_EQ(table_.RecordAt(16), r);
  EXPECT_EQ(log_.Lines().back(), "Таблица передатчиков (num.mmm) снова сохраняется.");

  // Back to saving in place.
  const int replaces = fs_.Calls(Op::Replace);
  table_.FindOrAdd(3);
  EXPECT_EQ(fs_.Calls(Op::Replace), replaces);
  EXPECT_EQ(OnDisk(), table_.Image());
}

// num.mmm meddled with while the driver runs, on the real disk. Whatever was done,
// the next changes leave the file equal to the table in memory: whole records
// only, no zero-filled holes, every transmitter heard; told once.
struct MeddleCase {
  const char* what;
  std::function<void(const std::filesystem::path& file, const std::filesystem::path& dir)> meddle;
};

TEST_F(TransmitterTableTest, FileChangedBehindTheDriversBackIsWrittenWholeAgain) {
  const MeddleCase cases[] = {
      {"truncated to 37 bytes",
       [](const auto& f, const auto&) { std::filesystem::resize_file(f, 37); }},
      {"truncated to nothing",
       [](const auto& f, const auto&) { std::filesystem::resize_file(f, 0); }},
#ifndef _WIN32  // an open file cannot be renamed over there
      {"replaced by an older copy (mv)",
       [](const auto& f, const auto& d) {
         test::WriteFileBytes(d / "backup", Image({Rec(1, 1), Rec(2, 2), Rec(3, 3)}));
         std::filesystem::rename(d / "backup", f);
       }},
#endif
      {"grown by someone",
       [](const auto& f, const auto&) {
         std::ofstream(f, std::ios::binary | std::ios::app) << "junk";
       }},
#ifndef _WIN32  // a removed open file keeps its name there
      {"removed", [](const auto& f, const auto&) { std::filesystem::remove(f); }},
#endif
  };
  for (const MeddleCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(File());
    log_.Clear();
    TransmitterTable table{File(), fs_, clock_, log_};
    test::WriteFileBytes(File(), Image({Rec(1, 1), Rec(2, 2), Rec(3, 3), Rec(4, 4)}));
    table.LoadTable();
    table.WriteBack(16, Rec(2, 2, 1, 1));  // the file is open and in use
    c.meddle(File(), dir_.Path());
    for (TransmitterId id = 10; id < 15; ++id) table.FindOrAdd(id);
    table.WriteBack(0, Rec(1, 1, 7, 7));
    EXPECT_EQ(OnDisk(), table.Image());
    EXPECT_EQ(table.Count(), 9u);
    ASSERT_EQ(log_.Lines().size(), 1u);
    EXPECT_NE(log_.Lines()[0].find("заменён, укорочен или удалён"), std::string::npos);
    // A fresh start finds every transmitter heard.
    TransmitterTable again{File(), fs_, clock_, log_};
    again.LoadTable();
    EXPECT_EQ(again.Image(), table.Image());
  }
}

#ifndef _WIN32
// num.mmm planted as a link to another file: that file is neither read as the
// table nor written; the table starts afresh in a file of its own.
TEST_F(TransmitterTableTest, ALinkInPlaceOfTheFileIsNeverReadOrWrittenThrough) {
  const Bytes precious = Image({Rec(9, 9)});
  test::WriteFileBytes(dir_ / "precious", precious);
  std::filesystem::create_symlink(dir_ / "precious", File());
  Load();
  EXPECT_EQ(table_.Count(), 0u);
  table_.FindOrAdd(1);
  EXPECT_FALSE(std::filesystem::is_symlink(File()));
  EXPECT_EQ(OnDisk(), table_.Image());
  EXPECT_EQ(test::ReadFileBytes(dir_ / "precious"), precious);
}
#endif

// A failed save (a full disk) is tried again on the tick and at stop, without
// waiting for the next change; the stop tells when it could not save.
TEST_F(TransmitterTableTest, FailedSaveIsRetriedOnTheTickAndAtStop) {
  struct Case {
    const char* what;
    bool diskFreed;
    bool onTick;  // else at stop
  } cases[] = {{"freed, the tick saves", true, true},
               {"freed, the stop saves", true, false},
               {"still full at stop", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(File());
    fs_.HealAll();
    log_.Clear();
    TransmitterTable table{File(), fs_, clock_, log_};
    table.LoadTable();
    fs_.Fail(Op::Replace);
    fs_.Fail(Op::WriteAt);
    for (TransmitterId id = 1; id <= 50; ++id) {
      const FoundTransmitter f = table.FindOrAdd(id);
      table.WriteBack(f.position, f.record);
    }
    EXPECT_TRUE(table.SaveFailing());
    table.RetryFailedSave();  // a tick while the disk is still full
    EXPECT_FALSE(std::filesystem::exists(File()));
    EXPECT_EQ(log_.Lines().size(), 1u) << "told once, not per retry";
    if (c.diskFreed) fs_.HealAll();
    const bool saved =
        c.onTick ? (table.RetryFailedSave(), !table.SaveFailing()) : table.SaveAtStop();
    EXPECT_EQ(saved, c.diskFreed);
    if (c.diskFreed) {
      EXPECT_EQ(OnDisk(), table.Image());
      EXPECT_EQ(table.Count(), 50u);
      EXPECT_EQ(log_.Lines().back(), "Таблица передатчиков (num.mmm) снова сохраняется.");
    } else {
      EXPECT_FALSE(std::filesystem::exists(File()));
      EXPECT_NE(log_.Lines().back().find("не сохранена при остановке"), std::string::npos);
    }
  }
}

// The saves that succeed are never repeated by the tick.
TEST_F(TransmitterTableTest, TheTickLeavesAHealthyTableAlone) {
  Load();
  table_.FindOrAdd(1);
  const int replaces = fs_.Calls(Op::Replace);
  for (int i = 0; i < 5; ++i) table_.RetryFailedSave();
  EXPECT_TRUE(table_.SaveAtStop());
  EXPECT_EQ(fs_.Calls(Op::Replace), replaces);
  EXPECT_TRUE(log_.Lines().empty());
}

#ifdef __linux__
// A real full disk: a 2 MiB tmpfs filled to the brim (as root; skipped where
// mounting is refused). 50 transmitters heard while full, space freed: the tick
// saves the table whole without waiting for another report.
TEST(TransmitterTableOnASmallDisk, FullThenFreedTheTickSavesTheWholeTable) {
  test::TempDir dir;
  if (::mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
  }
  struct Unmount {
    std::filesystem::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{dir.Path()};
  {
    std::ofstream filler(dir / "filler", std::ios::binary);
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) {
    }
  }
  DiskFileSystem disk;
  test::FakeClock clock{46000.5};
  test::RecordingOperatorLog log;
  TransmitterTable table{dir / "num.mmm", disk, clock, log};
  table.LoadTable();
  for (TransmitterId id = 1; id <= 50; ++id) {
    const FoundTransmitter f = table.FindOrAdd(id);
    table.WriteBack(f.position, f.record);
  }
  ASSERT_TRUE(table.SaveFailing()) << "the disk was not full";
  std::filesystem::remove(dir / "filler");
  table.RetryFailedSave();
  EXPECT_FALSE(table.SaveFailing());
  EXPECT_EQ(test::ReadFileBytes(dir / "num.mmm"), table.Image());
  EXPECT_EQ(table.Count(), 50u);
}
#endif

// Write-behind: the table's saves wait in the group flusher (driven by hand here)
// behind the event files handed over before them.
class TableWriteBehindTest : public TransmitterTableTest {
 protected:
  GroupFlusher flusher_{fs_, log_, GroupFlusher::Options{std::chrono::milliseconds(50), true}};
  TransmitterTable behind_{dir_ / "num.mmm", fs_, clock_, log_, &flusher_};
};

TEST_F(TableWriteBehindTest, ChangesWaitForTheFlusherAndGoTogetherOnTheOpenFile) {
  test::WriteFileBytes(File(), Image({Rec(1, 1)}));
  behind_.LoadTable();

  // A new transmitter's record waits for the report's write-back.
  const FoundTransmitter f = behind_.FindOrAdd(2);
  EXPECT_EQ(flusher_.Waiting(), 0u);
  TransmitterRecord r = f.record;
  r.Status1 = 5;
  behind_.WriteBack(f.position, r);
  behind_.WriteBack(0, Rec(1, 1, 7, 7));
  EXPECT_EQ(flusher_.Waiting(), 1u);  // one save stands for both
  EXPECT_EQ(OnDisk(), Image({Rec(1, 1)}));

  flusher_.RunOnce();
  EXPECT_EQ(OnDisk(), behind_.Image());
  EXPECT_EQ(fs_.Calls(Op::FlushFile), 1);  // one data flush for the group

  for (int i = 0; i < 5; ++i) {
    behind_.WriteBack(16, Rec(2, 2, static_cast<std::uint8_t>(i), 4));
    flusher_.RunOnce();
    EXPECT_EQ(OnDisk(), behind_.Image());
  }
  EXPECT_EQ(fs_.Calls(Op::OpenForUpdate), 1);  // kept open
  EXPECT_EQ(fs_.Calls(Op::Replace), 0);
  EXPECT_EQ(fs_.Calls(Op::FlushFile), 6);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(TableWriteBehindTest, AChangeMadeWhileAGroupRunsWaitsForTheNextGroup) {
  test::WriteFileBytes(File(), Image({Rec(1, 1), Rec(2, 2)}));
  behind_.LoadTable();
  // The window thread changes record 2 while the flusher works on a group that
  // holds the save of record 1 (its events were handed over after this group began).
  flusher_.AfterDurable(nullptr, [&] { behind_.WriteBack(16, Rec(2, 2, 8, 8)); });
  behind_.WriteBack(0, Rec(1, 1, 9, 9));
  flusher_.RunOnce();
  EXPECT_EQ(OnDisk(), Image({Rec(1, 1, 9, 9), Rec(2, 2)}));
  EXPECT_EQ(flusher_.Waiting(), 1u);
  flusher_.RunOnce();
  EXPECT_EQ(OnDisk(), behind_.Image());
}

TEST_F(TableWriteBehindTest, FailuresAndARemovedFileLeadToAWholeRewrite) {
  test::WriteFileBytes(File(), Image({Rec(1, 1)}));
  behind_.LoadTable();
  fs_.Fail(Op::FlushFile);  // the data flush of the open file fails
  behind_.WriteBack(0, Rec(1, 1, 3, 3));
  EXPECT_FALSE(behind_.SaveFailing());  // not known before the save has run
  flusher_.RunOnce();
  EXPECT_TRUE(behind_.SaveFailing());
  EXPECT_EQ(log_.Lines(),
            std::vector<std::string>{"Не удалось сохранить таблицу передатчиков (num.mmm)."});

  fs_.HealAll();
  behind_.FindOrAdd(2);
  behind_.WriteBack(16, Rec(2, 2, 4, 4));
  flusher_.RunOnce();
  EXPECT_FALSE(behind_.SaveFailing());
  EXPECT_EQ(fs_.Calls(Op::Replace), 1);
  EXPECT_EQ(OnDisk(), behind_.Image());
  EXPECT_EQ(log_.Lines().back(), "Таблица передатчиков (num.mmm) снова сохраняется.");

#ifdef _WIN32
  // Windows keeps the name of a file removed while the table holds it open until
  // the table lets go of it, so "removed behind our back" cannot be seen there.
  return;
#endif
  std::filesystem::remove(File());
  behind_.WriteBack(0, Rec(1, 1, 5, 5));
  flusher_.RunOnce();
  EXPECT_EQ(OnDisk(), behind_.Image());
  EXPECT_EQ(fs_.Calls(Op::Replace), 2);
}

// With write-behind the retry is a job of the queue, behind the event files
// before it: one waits at most, however many ticks pass.
TEST_F(TableWriteBehindTest, TheTickQueuesOneRetryAtATime) {
  behind_.LoadTable();
  fs_.Fail(Op::Replace);
  const FoundTransmitter f = behind_.FindOrAdd(1);
  behind_.WriteBack(f.position, f.record);
  flusher_.RunOnce();
  ASSERT_TRUE(behind_.SaveFailing());
  fs_.HealAll();
  for (int i = 0; i < 5; ++i) behind_.RetryFailedSave();
  EXPECT_EQ(flusher_.Waiting(), 1u);
  EXPECT_FALSE(std::filesystem::exists(File())) << "not before the queue runs it";
  flusher_.RunOnce();
  EXPECT_FALSE(behind_.SaveFailing());
  EXPECT_EQ(OnDisk(), behind_.Image());
  behind_.RetryFailedSave();
  EXPECT_EQ(flusher_.Waiting(), 0u);
}

}  // namespace
}  // namespace kestrel
