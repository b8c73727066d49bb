#include "delivery/spool_location.h"

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

struct LocationCase {
  const char* setting;
  const char* dir;  // relative to the working directory, or absolute
  const char* namePrefix;
};

void PrintTo(const LocationCase& c, std::ostream* os) { *os << '"' << c.setting << '"'; }

class SpoolLocationTest : public ::testing::TestWithParam<LocationCase> {};

TEST_P(SpoolLocationTest, PrefixSplitsIntoFolderAndNameStart) {
  const LocationCase& c = GetParam();
  const std::filesystem::path work = "/work/station";
  const SpoolLocation location = MakeSpoolLocation(c.setting, work);
  const std::string dir = c.dir;  // UTF-8, whatever the system's narrow encoding
  const std::filesystem::path expected =
      dir == "." ? work : work / std::filesystem::path(std::u8string(dir.begin(), dir.end()));
  EXPECT_EQ(location.dir.lexically_normal(), expected.lexically_normal()) << c.setting;
  EXPECT_EQ(location.namePrefix, c.namePrefix) << c.setting;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SpoolLocationTest,
    ::testing::Values(LocationCase{"", ".", ""},                          // working directory
                      LocationCase{"spool\\", "spool", ""},               // Windows separator
                      LocationCase{"spool/", "spool", ""},                //
                      LocationCase{"a\\b\\", "a/b", ""},                  // nested
                      LocationCase{"/var/spool/k/", "/var/spool/k", ""},  // absolute
                      LocationCase{"ev", ".", "ev"},                      // a bare name start
                      LocationCase{"spool\\ev", "spool", "ev"},
                      // Windows-1251 text: "Очередь\" names a folder spelt in UTF-8.
                      LocationCase{"\xCE\xF7\xE5\xF0\xE5\xE4\xFC\\", "Очередь", ""}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(SpoolLocation, FileForPutsPrefixNameAndExtensionInTheFolder) {
  const SpoolLocation location{"/s", "ev"};
  EXPECT_EQ(location.FileFor("5265C00"), std::filesystem::path("/s/ev5265C00.dd8"));
  const SpoolLocation plain{"/s", ""};
  EXPECT_EQ(plain.FileFor("2D94DB0B"), std::filesystem::path("/s/2D94DB0B.dd8"));
}

TEST(SpoolLocation, SpoolNamesEndInDd8AnyCaseAndStartWithThePrefix) {
  const SpoolLocation plain{"/s", ""};
  const SpoolLocation prefixed{"/s", "ev"};
  struct {
    const char* name;
    bool plain;
    bool prefixed;
  } cases[] = {
      {"5265C00.dd8", true, false},
      {"5265C00.DD8", true, false},
      {"ev5265C00.Dd8", true, true},
      {"not-hex.dd8", true, false},
      {"5265C00.dd8.part", false, false},
      {"5265C00.dd8.bad", false, false},
      {"5265C00.dd", false, false},
      {"dd8", false, false},
      {"evdd8", false, false},
      {"ev.dd8", true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plain.IsSpoolName(c.name), c.plain) << c.name;
    EXPECT_EQ(prefixed.IsSpoolName(c.name), c.prefixed) << c.name;
  }
}

// "Очередь\ев" in Windows-1251: the folder Очередь, every name starting with "ев".
// The names are UTF-8 in the program and reach the disk and come back from a
// listing as the same names (Windows would read narrow text in its ANSI code page).
TEST(SpoolLocation, ACyrillicNameStartRoundTripsThroughTheDisk) {
  const char* setting = "\xCE\xF7\xE5\xF0\xE5\xE4\xFC\\\xE5\xE2";
  const SpoolLocation inWork = MakeSpoolLocation(setting, "/w");
  EXPECT_EQ(inWork.namePrefix, "ев");
  EXPECT_EQ(inWork.FileFor("5265C00"), PathFromUtf8("/w/Очередь/ев5265C00.dd8"));

  test::TempDir dir;
  DiskFileSystem disk;
  const SpoolLocation location = MakeSpoolLocation(setting, dir.Path());
  ASSERT_TRUE(disk.CreateDirectories(location.dir));
  ASSERT_TRUE(disk.WriteNew(location.FileFor("5265C00"), Bytes{1, 2, 3, 4}, false));
  const std::vector<DirEntry> listed = disk.List(location.dir);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "ев5265C00.dd8");
  EXPECT_TRUE(location.IsSpoolName(listed[0].name));
  EXPECT_EQ(disk.ReadAll(location.dir / PathFromUtf8(listed[0].name)), (Bytes{1, 2, 3, 4}));
}

}  // namespace
}  // namespace kestrel
