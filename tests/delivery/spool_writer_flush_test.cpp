// The spool writer with a group flusher: nothing is flushed on the caller's thread;
// each file is handed to the flusher under its final name.
#include <gtest/gtest.h>

#include "delivery/commands.h"
#include "delivery/spool_writer.h"
#include "platform/group_flusher.h"
#include "tests/support/fake_clock.h"
#include "tests/support/power_loss_file_system.h"
#include "tests/support/recording_operator_log.h"

namespace kestrel {
namespace {

TEST(SpoolWriterFlush, FilesAreFlushedByTheFlusherNotByTheWriter) {
  test::PowerLossFileSystem fs;
  fs.CreateDirectories("/spool");
  test::FakeClock clock;
  test::RecordingOperatorLog log;
  GroupFlusher flusher(fs, log, GroupFlusher::Options{std::chrono::milliseconds(50), true});
  SpoolWriter spool(SpoolLocation{"/spool", ""}, fs, clock, log);
  spool.SetFlusher(&flusher);

  const Bytes payload(19, 7);
  ASSERT_TRUE(spool.Write(cmdEvent, payload));
  ASSERT_TRUE(spool.Write(cmdEvent, payload));
  EXPECT_EQ(fs.FileFlushes(), 0);
  EXPECT_EQ(fs.FolderFlushes(), 0);
  EXPECT_EQ(flusher.Waiting(), 2u);
  const auto written = fs.List("/spool");
  ASSERT_EQ(written.size(), 2u);  // under their final names, no temporary left

  flusher.RunOnce();
  EXPECT_EQ(fs.FileFlushes(), 2);
  EXPECT_EQ(fs.FolderFlushes(), 1);
  fs.PowerLoss();
  fs.PowerOn();
  const auto kept = fs.List("/spool");
  ASSERT_EQ(kept.size(), 2u);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].name, written[i].name);
    EXPECT_EQ(kept[i].size, 23u);
  }
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace kestrel
