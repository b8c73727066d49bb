#include "platform/rename_aside.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/support/faulty_file_system.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using Outcome = AsideResult::Outcome;
using Op = test::FaultyFileSystem::Op;

const AsideNames kBad{".bad", "", 1, 4};
const AsideNames kUnreadable{".unreadable", ".", 2, 3};

struct AsideCase {
  const char* what;
  AsideNames names;
  bool sourcePresent;
  std::vector<std::string> taken;  // names that exist already
  Outcome outcome;
  std::string aside;  // the name the file has afterwards ("" when not renamed)
};

const AsideCase kCases[] = {
    {"first name free", kBad, true, {}, Outcome::Renamed, "X.bad"},
    {"first name taken", kBad, true, {"X.bad"}, Outcome::Renamed, "X.bad1"},
    {"a gap is used", kBad, true, {"X.bad", "X.bad2"}, Outcome::Renamed, "X.bad1"},
    {"only the last free", kBad, true, {"X.bad", "X.bad1", "X.bad2"}, Outcome::Renamed, "X.bad3"},
    {"every name taken", kBad, true, {"X.bad", "X.bad1", "X.bad2", "X.bad3"}, Outcome::Failed, ""},
    {"separator and first number", kUnreadable, true, {}, Outcome::Renamed, "X.unreadable"},
    {"separator and first number, first taken",
     kUnreadable,
     true,
     {"X.unreadable"},
     Outcome::Renamed,
     "X.unreadable.2"},
    {"separator, every name taken",
     kUnreadable,
     true,
     {"X.unreadable", "X.unreadable.2", "X.unreadable.3"},
     Outcome::Failed,
     ""},
    {"the file is gone", kBad, false, {}, Outcome::SourceGone, ""},
};

class RenameAsideTest : public ::testing::TestWithParam<AsideCase> {};

TEST_P(RenameAsideTest, TakesTheFirstFreeNameAndNeverReplaces) {
  const AsideCase& c = GetParam();
  test::TempDir dir;
  DiskFileSystem disk;
  const fs::path file = dir / "X";
  if (c.sourcePresent) test::WriteFileText(file, "content");
  for (const std::string& name : c.taken) test::WriteFileText(dir / name, "earlier " + name);

  const AsideResult r = RenameAside(disk, file, c.names);
  EXPECT_EQ(r.outcome, c.outcome);
  EXPECT_EQ(r.aside, c.aside.empty() ? fs::path() : dir / c.aside);
  if (!c.aside.empty()) {
    EXPECT_EQ(test::ReadFileText(dir / c.aside), "content");
    EXPECT_FALSE(fs::exists(file));
  } else if (c.sourcePresent) {
    EXPECT_EQ(test::ReadFileText(file), "content");
  }
  for (const std::string& name : c.taken) {
    EXPECT_EQ(test::ReadFileText(dir / name), "earlier " + name) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RenameAsideTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AsideCase>& info) {
                           std::string name = info.param.what;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(RenameAside, ARenameThatFailsOutrightEndsTheAttempt) {
  test::TempDir dir;
  test::FaultyFileSystem files;
  files.Fail(Op::Rename);
  test::WriteFileText(dir / "X", "content");
  const AsideResult r = RenameAside(files, dir / "X", kBad);
  EXPECT_EQ(r.outcome, Outcome::Failed);
  EXPECT_EQ(files.Calls(Op::Rename), 1);  // the other names would fail alike
  EXPECT_EQ(test::ReadFileText(dir / "X"), "content");
}

// A name found free but taken by another writer before the rename: the next name
// is tried, and the other writer's file is kept.
class RacingFileSystem final : public test::ForwardingFileSystem {
 public:
  RacingFileSystem() : ForwardingFileSystem(disk_) {}
  bool RenameNoReplace(const fs::path& from, const fs::path& to) noexcept override {
    if (races_ > 0) {
      --races_;
      test::WriteFileText(to, "other writer");
    }
    return ForwardingFileSystem::RenameNoReplace(from, to);
  }

  int races_ = 0;

 private:
  DiskFileSystem disk_;
};

TEST(RenameAside, ANameTakenMeanwhileMovesOnToTheNext) {
  test::TempDir dir;
  RacingFileSystem files;
  files.races_ = 2;
  test::WriteFileText(dir / "X", "content");
  const AsideResult r = RenameAside(files, dir / "X", kBad);
  EXPECT_EQ(r.outcome, Outcome::Renamed);
  EXPECT_EQ(r.aside, dir / "X.bad2");
  EXPECT_EQ(test::ReadFileText(dir / "X.bad"), "other writer");
  EXPECT_EQ(test::ReadFileText(dir / "X.bad1"), "other writer");
  EXPECT_EQ(test::ReadFileText(dir / "X.bad2"), "content");
}

}  // namespace
}  // namespace kestrel
