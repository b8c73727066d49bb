#include "platform/paths.h"

#include <gtest/gtest.h>

#include "platform/serial_name.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

TEST(PathFromSetting, BackslashIsTheSeparatorAndTextIsConverted) {
  struct Case {
    std::string setting;
    std::string expected;
  };
  const Case cases[] = {
      {"", ""},
      {"spool\\", "spool/"},
      {"spool\\ABC.dd8", "spool/ABC.dd8"},
      {"D:\\spool\\", "D:/spool/"},
      {"/var/spool/kestrel/", "/var/spool/kestrel/"},
      {"\\\\server\\share\\", "//server/share/"},
      {"\xCF\xE0\xEF\xEA\xE0\\", "Папка/"},
  };
  for (const auto& c : cases) {
    // On Windows "\\" is a separator of its own, and "/" is one too. The expected text
    // is UTF-8 whatever the system's narrow encoding.
    fs::path expected(std::u8string(c.expected.begin(), c.expected.end()));
    EXPECT_EQ(PathFromSetting(c.setting).make_preferred().native(),
              expected.make_preferred().native())
        << c.setting;
  }
  // Plain text concatenation: the prefix and the file name form one path.
  EXPECT_EQ(PathFromSetting(std::string("spool\\") + "2D94DB0B.dd8").filename(), "2D94DB0B.dd8");
}

TEST(SettingsFilePath, IsTheIniInTheWorkingDirectory) {
  EXPECT_EQ(SettingsFilePath("/srv/station"), fs::path("/srv/station/drvkestrel.ini"));
}

TEST(CurrentDirectory, IsTheProcessDirectory) { EXPECT_EQ(CurrentDirectory(), fs::current_path()); }

TEST(ResolveSerialPortName, PortsFolderMapsNamesToDevices) {
#ifdef _WIN32
  GTEST_SKIP() << "the ports folder of symbolic links to devices is Linux's way to name ports";
#endif
  test::TempDir dir;
  fs::create_directory(dir / "ports");
  fs::create_symlink("/dev/null", dir / "ports" / "COM5");
  fs::create_symlink("/dev/no-such-device", dir / "ports" / "COM6");
  struct Case {
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {"COM5", (dir / "ports" / "COM5").string()},
      // A link to a vanished device still names what the operator mapped.
      {"COM6", (dir / "ports" / "COM6").string()},
      {"COM7", "COM7"},
      {"com5", "com5"},  // the file system's names are case-sensitive
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"ports/COM5", "ports/COM5"},
      {"..", ".."},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveSerialPortName(dir.Path(), c.name), c.expected) << c.name;
  }
  test::TempDir empty;  // no ports folder at all
  EXPECT_EQ(ResolveSerialPortName(empty.Path(), "COM5"), "COM5");
}

TEST(WindowsSerialDeviceName, PortsFromCom10OnAreInTheDeviceNamespace) {
  struct Case {
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {"COM1", "COM1"},
      {"COM9", "COM9"},
      {"COM10", "\\\\.\\COM10"},
      {"com12", "\\\\.\\com12"},
      {"COM256", "\\\\.\\COM256"},
      {"COM01", "COM01"},
      {"COM1A", "COM1A"},
      {"COMX10", "COMX10"},
      {"\\\\.\\COM10", "\\\\.\\COM10"},  // already in the device namespace
      {"LPT10", "LPT10"},
      {"COM", "COM"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WindowsSerialDeviceName(c.name), c.expected) << c.name;
  }
#ifdef _WIN32
  const test::TempDir dir;
  EXPECT_EQ(ResolveSerialPortName(dir.Path(), "COM5"), "COM5");
  EXPECT_EQ(ResolveSerialPortName(dir.Path(), "COM15"), "\\\\.\\COM15");
#endif
}

}  // namespace
}  // namespace kestrel
