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

}  // namespace
}  // namespace kestrel
