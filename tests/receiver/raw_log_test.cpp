#include "receiver/raw_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using Op = test::FaultyFileSystem::Op;

ByteView View(const std::string& s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

class RawLogTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  test::FaultyFileSystem fs_;
  test::RecordingOperatorLog log_;
  RawLog raw_{dir_ / kRawLogFileName, fs_, log_};
};

TEST_F(RawLogTest, AppendsExactlyTheBytes) {
  test::WriteFileText(raw_.Path(), "old");
  const std::string chunks[] = {"0A1B2", std::string("\0\r\n\xFF", 4), "C0384\r\n"};
  std::string expected = "old";
  for (const auto& c : chunks) {
    EXPECT_TRUE(raw_.Append(View(c)));
    expected += c;
  }
  EXPECT_EQ(test::ReadFileText(raw_.Path()), expected);
  EXPECT_TRUE(log_.Lines().empty());
}

#ifndef _WIN32
// drvkestrel.log planted as a link to another file: nothing is written through it;
// the failure is reported like any other.
TEST_F(RawLogTest, ALinkInPlaceOfTheLogIsNeverWrittenThrough) {
  test::WriteFileText(dir_ / "precious", "keep");
  std::filesystem::create_symlink(dir_ / "precious", raw_.Path());
  EXPECT_FALSE(raw_.Append(View("0A1B2C")));
  EXPECT_EQ(test::ReadFileText(dir_ / "precious"), "keep");
  EXPECT_EQ(log_.Lines().size(), 1u);
}
#endif

TEST_F(RawLogTest, FailureIsReportedOncePerRun) {
  const std::string failed = "Не удалось записать журнал приёма (drvkestrel.log).";
  const std::string back = "Журнал приёма (drvkestrel.log) снова записывается.";

  fs_.Fail(Op::Append, kRawLogFileName);
  EXPECT_FALSE(raw_.Append(View("a")));
  EXPECT_FALSE(raw_.Append(View("b")));
  EXPECT_TRUE(raw_.Failing());
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{failed});

  fs_.HealAll();
  EXPECT_TRUE(raw_.Append(View("c")));
  EXPECT_TRUE(raw_.Append(View("d")));
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{failed, back}));

  fs_.Fail(Op::Append);
  EXPECT_FALSE(raw_.Append(View("e")));
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{failed, back, failed}));
  EXPECT_EQ(test::ReadFileText(raw_.Path()), "cd");
}

struct RotationCase {
  const char* name;
  RawLogRotation rotation;
  const char* existing;  // content of the log before the run; nullptr: no file
  std::vector<std::string> chunks;
  // Expected content of the log, .1, .2, .3 ("-": the file must not exist).
  std::vector<std::string> files;
};

class RawLogRotationTest : public ::testing::TestWithParam<RotationCase> {};

TEST_P(RawLogRotationTest, KeepsWholeWritesAndDropsOnlyTheOldest) {
  const RotationCase& c = GetParam();
  test::TempDir dir;
  DiskFileSystem fs;
  test::RecordingOperatorLog log;
  if (c.existing != nullptr) test::WriteFileText(dir / kRawLogFileName, c.existing);
  RawLog raw(dir / kRawLogFileName, fs, log, c.rotation);
  for (const auto& chunk : c.chunks) EXPECT_TRUE(raw.Append(View(chunk)));

  ASSERT_EQ(c.files.size(), 4u);
  for (int n = 0; n < 4; ++n) {
    const auto path = n == 0 ? raw.Path() : raw.OldPath(n);
    if (c.files[n] == "-") {
      EXPECT_FALSE(std::filesystem::exists(path)) << path;
    } else {
      EXPECT_EQ(test::ReadFileText(path), c.files[n]) << path;
    }
  }
  EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RawLogRotationTest,
    ::testing::Values(
        RotationCase{"TwoKeptOldestDropped",
                     {10, 2},
                     nullptr,
                     {"aaaa", "bbbb", "cccc", "dddd", "eeee", "ffff", "gggg", "hhhh", "iiii"},
                     {"iiii", "gggghhhh", "eeeeffff", "-"}},
        RotationCase{"FullAtTheLimitNotBefore",
                     {8, 3},
                     nullptr,
                     {"aaaa", "bbbb", "c"},
                     {"c", "aaaabbbb", "-", "-"}},
        RotationCase{
            "ExistingFileCounts", {10, 3}, "0123456789", {"x"}, {"x", "0123456789", "-", "-"}},
        RotationCase{"NoneKept", {5, 0}, nullptr, {"abc", "def"}, {"def", "-", "-", "-"}},
        RotationCase{"WriteLargerThanTheLimitStaysWhole",
                     {4, 1},
                     nullptr,
                     {"ab", "cdefgh", "ij"},
                     {"ij", "cdefgh", "-", "-"}}),
    [](const ::testing::TestParamInfo<RotationCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(RawLogTest, RotationThatCannotRenameKeepsAppending) {
  RawLog raw(dir_ / "small.log", fs_, log_, RawLogRotation{4, 2});
  fs_.Fail(Op::Rename);
  EXPECT_TRUE(raw.Append(View("abc")));
  EXPECT_TRUE(raw.Append(View("def")));
  EXPECT_EQ(test::ReadFileText(raw.Path()), "abcdef");
  EXPECT_FALSE(std::filesystem::exists(raw.OldPath(1)));

  fs_.HealAll();
  EXPECT_TRUE(raw.Append(View("g")));
  EXPECT_EQ(test::ReadFileText(raw.Path()), "g");
  EXPECT_EQ(test::ReadFileText(raw.OldPath(1)), "abcdef");
}

}  // namespace
}  // namespace kestrel
