#include "platform/group_flusher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "tests/support/faulty_file_system.h"
#include "tests/support/power_loss_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using Op = test::FaultyFileSystem::Op;

GroupFlusher::Options Manual() { return GroupFlusher::Options{50ms, true}; }

class GroupFlusherTest : public ::testing::Test {
 protected:
  GroupFlusherTest() {
    fs_.CreateDirectories("/a");
    fs_.CreateDirectories("/b");
  }
  // A file written as the spool writer does: created and renamed, nothing flushed.
  std::filesystem::path Write(const std::string& path, const std::string& text) {
    const std::filesystem::path temp = path + ".part";
    EXPECT_TRUE(fs_.WriteNew(temp, Bytes(text.begin(), text.end()), false));
    EXPECT_TRUE(fs_.RenameNoFlush(temp, path));
    return path;
  }
  bool Survives(const std::filesystem::path& p, const std::string& text) {
    fs_.PowerLoss();
    fs_.PowerOn();
    const auto content = fs_.ReadAll(p);
    return content && *content == Bytes(text.begin(), text.end());
  }

  test::PowerLossFileSystem fs_;
  test::RecordingOperatorLog log_;
};

TEST_F(GroupFlusherTest, OneGroupFlushesEachFileAndEachFolderOnce) {
  GroupFlusher flusher(fs_, log_, Manual());
  for (const char* name : {"/a/1.dd8", "/a/2.dd8", "/a/3.dd8", "/b/4.dd8"}) {
    flusher.FileWritten(Write(name, name));
  }
  EXPECT_EQ(flusher.Waiting(), 4u);
  EXPECT_EQ(fs_.FileFlushes(), 0);  // nothing on the caller's side

  EXPECT_TRUE(flusher.RunOnce());
  EXPECT_FALSE(flusher.RunOnce());
  EXPECT_EQ(fs_.FileFlushes(), 4);
  EXPECT_EQ(fs_.FolderFlushes(), 2);
  const GroupFlusher::Figures f = flusher.Counts();
  EXPECT_EQ(f.runs, 1u);
  EXPECT_EQ(f.filesFlushed, 4u);
  EXPECT_EQ(f.folderFlushes, 2u);
  EXPECT_EQ(f.failures, 0u);
  for (const char* name : {"/a/1.dd8", "/a/2.dd8", "/a/3.dd8", "/b/4.dd8"}) {
    EXPECT_TRUE(Survives(name, name)) << name;
  }
}

TEST_F(GroupFlusherTest, UnflushedFilesAreLostAndTheModelSaysSo) {
  // The power-loss model itself: a written, renamed, unflushed file does not survive;
  // a flushed name whose data was not flushed comes back empty.
  Write("/a/1.dd8", "one");
  EXPECT_FALSE(Survives("/a/1.dd8", "one"));
  EXPECT_FALSE(fs_.Exists("/a/1.dd8"));
  Write("/a/2.dd8", "two");
  fs_.FlushFolder("/a");
  fs_.PowerLoss();
  fs_.PowerOn();
  EXPECT_EQ(fs_.ReadAll("/a/2.dd8"), Bytes{});
}

TEST_F(GroupFlusherTest, JobsRunAfterTheFilesBeforeThemAreDurableInOrder) {
  GroupFlusher flusher(fs_, log_, Manual());
  std::vector<std::string> ran;
  flusher.FileWritten(Write("/a/1.dd8", "1"));
  flusher.AfterDurable(nullptr, [&] {
    ran.push_back("first");
    // The power could go now: the file handed over before this job is safe.
    EXPECT_EQ(fs_.FileFlushes(), 2);
    EXPECT_EQ(fs_.FolderFlushes(), 1);
  });
  flusher.FileWritten(Write("/a/2.dd8", "2"));
  flusher.AfterDurable(nullptr, [&] { ran.push_back("second"); });
  EXPECT_TRUE(ran.empty());
  flusher.RunOnce();
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(flusher.Counts().jobsRun, 2u);
}

TEST_F(GroupFlusherTest, ALaterJobOfTheSameKeyStandsInForAWaitingOne) {
  GroupFlusher flusher(fs_, log_, Manual());
  std::vector<int> ran;
  int key = 0;
  int other = 0;
  flusher.AfterDurable(&key, [&] { ran.push_back(1); });
  flusher.AfterDurable(&other, [&] { ran.push_back(2); });
  flusher.AfterDurable(&key, [&] { ran.push_back(3); });
  flusher.RunOnce();
  EXPECT_EQ(ran, (std::vector<int>{3, 2}));

  // A job already run is not replaced: the next group runs the next one.
  flusher.AfterDurable(&key, [&] { ran.push_back(4); });
  flusher.RunOnce();
  EXPECT_EQ(ran, (std::vector<int>{3, 2, 4}));
}

TEST(GroupFlusherFailures, AFailedFlushIsReportedOnceAndItsRecoveryToo) {
  test::TempDir dir;
  test::FaultyFileSystem fs;
  test::RecordingOperatorLog log;
  GroupFlusher flusher(fs, log, Manual());
  auto write = [&](const std::string& name) {
    const auto p = dir / name;
    EXPECT_TRUE(fs.WriteNew(p, Bytes{1, 2, 3}, false));
    return p;
  };
  fs.Fail(Op::FlushFile, "bad");
  bool jobRan = false;
  flusher.FileWritten(write("bad1.dd8"));
  flusher.FileWritten(write("good.dd8"));
  flusher.AfterDurable(nullptr, [&] { jobRan = true; });
  flusher.RunOnce();
  EXPECT_TRUE(jobRan);  // the data is written; only its survival of a power cut is in doubt
  EXPECT_EQ(flusher.Counts().failures, 1u);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0],
            "Не удалось сбросить на диск файл события " + (dir / "bad1.dd8").string() + ".");

  flusher.FileWritten(write("bad2.dd8"));  // still failing: not told again
  flusher.RunOnce();
  EXPECT_EQ(log.Lines().size(), 1u);

  fs.HealAll();
  flusher.FileWritten(write("bad3.dd8"));
  flusher.RunOnce();
  EXPECT_EQ(log.Lines().back(), "Файлы событий снова сбрасываются на диск.");

  // A file acknowledged and removed before its turn is no failure.
  const auto gone = write("gone.dd8");
  flusher.FileWritten(gone);
  fs.Remove(gone);
  fs.Fail(Op::FlushFile);
  flusher.RunOnce();
  EXPECT_EQ(flusher.Counts().failures, 2u);
  EXPECT_EQ(log.Lines().size(), 2u);
}

TEST(GroupFlusherFailures, AFailedFolderFlushIsReported) {
  test::TempDir dir;
  test::FaultyFileSystem fs;
  test::RecordingOperatorLog log;
  GroupFlusher flusher(fs, log, Manual());
  ASSERT_TRUE(fs.WriteNew(dir / "1.dd8", Bytes{1}, false));
  fs.Fail(Op::FlushFolder);
  flusher.FileWritten(dir / "1.dd8");
  flusher.RunOnce();
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0],
            "Не удалось сбросить на диск папку событий " + dir.Path().string() + ".");
}

TEST_F(GroupFlusherTest, StopFlushesWhatItHoldsWithoutWaitingForTheWindow) {
  // A window far longer than any test: only Stop can make this group run.
  GroupFlusher flusher(fs_, log_, GroupFlusher::Options{std::chrono::hours(1), false});
  bool jobRan = false;
  flusher.FileWritten(Write("/a/1.dd8", "one"));
  flusher.AfterDurable(nullptr, [&] { jobRan = true; });
  EXPECT_TRUE(flusher.Stop(30s));
  EXPECT_TRUE(jobRan);
  EXPECT_EQ(flusher.Waiting(), 0u);
  EXPECT_TRUE(Survives("/a/1.dd8", "one"));

  // After the stop, work is done at once on the caller's thread.
  flusher.FileWritten(Write("/a/2.dd8", "two"));
  EXPECT_TRUE(Survives("/a/2.dd8", "two"));
  bool late = false;
  flusher.AfterDurable(nullptr, [&] { late = true; });
  EXPECT_TRUE(late);
  EXPECT_TRUE(flusher.Stop());  // a second stop is harmless
}

TEST(GroupFlusherStop, AStopGivenUpOnDoesNotHangTheNextOne) {
  // Both outlive the flusher's thread, which is left behind while it hangs.
  static test::PowerLossFileSystem fs;
  static test::RecordingOperatorLog log;
  auto gate = std::make_shared<std::promise<void>>();
  std::shared_future<void> open = gate->get_future().share();
  {
    GroupFlusher flusher(fs, log, GroupFlusher::Options{1ms, false});
    flusher.AfterDurable(nullptr, [open] { open.wait(); });  // a flush that hangs
    EXPECT_FALSE(flusher.Stop(50ms));
    // The stop at the end of the program and the destructor come after this one:
    // neither may wait for the thread that hangs.
    EXPECT_FALSE(flusher.Stop(50ms));
    EXPECT_FALSE(flusher.RunOnce());
  }
  gate->set_value();
}

TEST_F(GroupFlusherTest, TheThreadFlushesAGroupByItself) {
  GroupFlusher flusher(fs_, log_, GroupFlusher::Options{5ms, false});
  std::promise<void> done;
  flusher.FileWritten(Write("/a/1.dd8", "one"));
  flusher.AfterDurable(nullptr, [&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(flusher.Stop());
  // Counted once the run is over, which may be just after its last job.
  EXPECT_GE(flusher.Counts().runs, 1u);
  EXPECT_TRUE(Survives("/a/1.dd8", "one"));
}

TEST_F(GroupFlusherTest, AThrowingJobIsToldOnceAndDoesNotStopTheOthers) {
  GroupFlusher flusher(fs_, log_, Manual());
  int others = 0;
  for (int run = 0; run < 2; ++run) {
    flusher.AfterDurable(nullptr, [] { throw std::runtime_error("job"); });
    flusher.AfterDurable(nullptr, [&] { ++others; });
    flusher.RunOnce();
  }
  EXPECT_EQ(others, 2);
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Сбой работы после сброса на диск: job."});
}

}  // namespace
}  // namespace kestrel
