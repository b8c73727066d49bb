// The disk's flushing and positioned-update operations (the group flusher's and
// the transmitter table's), against the real file system.
#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

TEST(DiskFlush, RenameNoFlushNeverReplaces) {
  test::TempDir dir;
  DiskFileSystem fs;
  test::WriteFileText(dir / "a", "a");
  test::WriteFileText(dir / "b", "b");
  EXPECT_FALSE(fs.RenameNoFlush(dir / "a", dir / "b"));
  EXPECT_EQ(test::ReadFileText(dir / "b"), "b");
  EXPECT_TRUE(fs.RenameNoFlush(dir / "a", dir / "c"));
  EXPECT_EQ(test::ReadFileText(dir / "c"), "a");
  EXPECT_FALSE(fs.Exists(dir / "a"));
  EXPECT_FALSE(fs.RenameNoFlush(dir / "missing", dir / "d"));
}

TEST(DiskFlush, FlushesTellWhetherThereWasSomethingToFlush) {
  test::TempDir dir;
  DiskFileSystem fs;
  test::WriteFileText(dir / "a", "a");
  EXPECT_TRUE(fs.FlushFile(dir / "a"));
  EXPECT_FALSE(fs.FlushFile(dir / "missing"));
  EXPECT_TRUE(fs.FlushFolder(dir.Path()));
  EXPECT_FALSE(fs.FlushFolder(dir / "missing"));
}

TEST(DiskFlush, AnOpenFileTakesWritesAtOffsetsAndGrows) {
  test::TempDir dir;
  DiskFileSystem fs;
  EXPECT_EQ(fs.OpenForUpdate(dir / "missing"), nullptr);
  EXPECT_FALSE(fs.Exists(dir / "missing"));          // never created
  EXPECT_EQ(fs.OpenForUpdate(dir.Path()), nullptr);  // a folder is no file

  test::WriteFileBytes(dir / "t", Bytes{1, 2, 3, 4});
  auto file = fs.OpenForUpdate(dir / "t");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->WriteAt(1, Bytes{9, 9}));
  EXPECT_TRUE(file->WriteAt(6, Bytes{7}));
  EXPECT_TRUE(file->Sync());
  EXPECT_EQ(file->Size(), 7u);
  EXPECT_EQ(test::ReadFileBytes(dir / "t"), (Bytes{1, 9, 9, 4, 0, 0, 7}));
  file.reset();
  EXPECT_EQ(test::ReadFileBytes(dir / "t"), (Bytes{1, 9, 9, 4, 0, 0, 7}));
}

}  // namespace
}  // namespace kestrel
