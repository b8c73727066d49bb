#include "receiver/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using test::TempDir;

DateTime Seconds(int s) { return s / kSecondsPerDay; }

struct SettingsCase {
  const char* name;
  const char* file;  // nullptr: no settings file at all
  MainSettings expected;
};

MainSettings With(void (*change)(MainSettings&)) {
  MainSettings s;
  change(s);
  return s;
}

const SettingsCase kSettingsCases[] = {
    {"NoFile", nullptr, MainSettings{}},
    {"EmptySection", "[main]\r\n", MainSettings{}},
    {"AllKeys",
     "[main]\r\nComPort=COM3\r\nbr=9600\r\nFirstNumber=300\r\nNoTimeTest=5\r\n"
     "PathForSoob=D:\\spool\\\r\nLog=1\r\nAttention=0:5\r\n",
     With([](MainSettings& s) {
       s.ComPort = "COM3";
       s.br = 9600;
       s.FirstNumber = 300;
       s.NoTimeTest = 5;
       s.PathForSoob = "D:\\spool\\";
       s.Log = true;
       s.Attention = Seconds(300);
     })},
    {"NamesIgnoreCaseValueKeepsIt", "[MAIN]\r\ncomport=com128\r\nLOG=1\r\n",
     With([](MainSettings& s) {
       s.ComPort = "com128";
       s.Log = true;
     })},
    {"LogWordIsNotAnInteger", "[main]\r\nLog=true\r\n", MainSettings{}},
    {"LogHexIsAnInteger", "[main]\r\nLog=0x10\r\n", With([](MainSettings& s) { s.Log = true; })},
    {"MalformedIntegersGiveDefaults", "[main]\r\nbr=fast\r\nFirstNumber=\r\nNoTimeTest=1.5\r\n",
     MainSettings{}},
    {"AttentionNotATime", "[main]\r\nAttention=abc\r\n", MainSettings{}},
    {"AttentionHourOutOfRange", "[main]\r\nAttention=25:00:00\r\n", MainSettings{}},
    {"AlarmAfterSeconds", "[main]\r\nAlarmAfter=300\r\n",
     With([](MainSettings& s) { s.AlarmAfter = 300; })},
    {"AlarmAfterZeroTurnsItOff", "[main]\r\nAlarmAfter=0\r\n",
     With([](MainSettings& s) { s.AlarmAfter = 0; })},
    {"AlarmAfterNegativeOrMalformedGivesDefault", "[main]\r\nAlarmAfter=-5\r\n", MainSettings{}},
    {"AlarmAfterNotANumber", "[main]\r\nAlarmAfter=soon\r\n", MainSettings{}},
    {"OtherSectionIgnored", "[ServerHost]\r\nComPort=COM9\r\nLog=1\r\n[main]\r\nbr=4800\r\n",
     With([](MainSettings& s) { s.br = 4800; })},
    {"Cp1251TextKeptAsBytes", "[main]\r\nPathForSoob=\xD1\xEF\xEE\xEE\xEB\\\r\n",
     With([](MainSettings& s) { s.PathForSoob = "\xD1\xEF\xEE\xEE\xEB\\"; })},
};

class ReadMainSettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(ReadMainSettingsTest, ReadsKeysWithDefaults) {
  TempDir dir;
  DiskFileSystem disk;
  const auto path = SettingsFilePath(dir.Path());
  if (GetParam().file != nullptr) test::WriteFileText(path, GetParam().file);
  const MainSettings s = ReadMainSettings(IniFile(path, disk));
  const MainSettings& e = GetParam().expected;
  EXPECT_EQ(s.ComPort, e.ComPort);
  EXPECT_EQ(s.br, e.br);
  EXPECT_EQ(s.FirstNumber, e.FirstNumber);
  EXPECT_EQ(s.NoTimeTest, e.NoTimeTest);
  EXPECT_EQ(s.PathForSoob, e.PathForSoob);
  EXPECT_EQ(s.Log, e.Log);
  EXPECT_DOUBLE_EQ(s.Attention, e.Attention);
  EXPECT_EQ(s.AlarmAfter, e.AlarmAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadMainSettingsTest, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MainSettingsTest, DefaultsAreThoseOfMissingKeys) {
  const MainSettings s;
  EXPECT_EQ(s.ComPort, "COM128");
  EXPECT_EQ(s.br, 2400);
  EXPECT_EQ(s.FirstNumber, 1);
  EXPECT_EQ(s.NoTimeTest, 30);
  EXPECT_EQ(s.PathForSoob, "");
  EXPECT_FALSE(s.Log);
  EXPECT_DOUBLE_EQ(s.Attention, Seconds(10));
  EXPECT_EQ(s.AlarmAfter, 60);
}

TEST(ParseAttentionTest, AcceptsTimesOfDay) {
  const struct {
    const char* text;
    int seconds;
  } cases[] = {
      {"00:00:10", 10}, {"0:5", 300},      {"5", 5 * 3600},          {"23:59:59", 86399},
      {"0:0:0", 0},     {"1:02:03", 3723}, {"007:1", 7 * 3600 + 60},
  };
  for (const auto& c : cases) {
    DateTime out = -1;
    EXPECT_TRUE(ParseAttention(c.text, out)) << c.text;
    EXPECT_DOUBLE_EQ(out, Seconds(c.seconds)) << c.text;
  }
}

TEST(ParseAttentionTest, RejectsAnythingElseAndLeavesOutAlone) {
  const char* cases[] = {"",
                         "abc",
                         "25:00:00",
                         "24",
                         "0:60",
                         "0:0:60",
                         "1:2:3:4",
                         "1:",
                         ":5",
                         "1 :2",
                         "-1",
                         "+1",
                         "1:2:3x",
                         "1:2:3 ",
                         "0x10",
                         "1.5",
                         "99999999999999999999"};
  for (const char* text : cases) {
    DateTime out = 42;
    EXPECT_FALSE(ParseAttention(text, out)) << '"' << text << '"';
    EXPECT_EQ(out, 42) << text;
  }
}

TEST(BaudRateFromSettingTest, OnlyNineThousandSixHundredChangesTheSpeed) {
  const struct {
    std::int32_t br;
    int baud;
  } cases[] = {{2400, 2400}, {9600, 9600}, {4800, 2400}, {0, 2400}, {-9600, 2400}, {19200, 2400}};
  for (const auto& c : cases) EXPECT_EQ(BaudRateFromSetting(c.br), c.baud) << c.br;
}

TEST(WriteComPortTest, StoresThePortAndKeepsOtherLines) {
  TempDir dir;
  const auto path = SettingsFilePath(dir.Path());
  test::WriteFileText(path, "; station\r\n[main]\r\nComPort=COM128\r\nLog=1\r\n");
  DiskFileSystem disk;
  IniFile ini(path, disk);
  WriteComPort(ini, "COM5");
  EXPECT_EQ(test::ReadFileText(path), "; station\r\n[main]\r\nComPort=COM5\r\nLog=1\r\n");
  EXPECT_EQ(ReadMainSettings(ini).ComPort, "COM5");
}

TEST(WriteComPortTest, CreatesAMissingFile) {
  TempDir dir;
  DiskFileSystem disk;
  IniFile ini(SettingsFilePath(dir.Path()), disk);
  WriteComPort(ini, "COM7");
  EXPECT_EQ(ReadMainSettings(ini).ComPort, "COM7");
}

TEST(WriteComPortTest, FailureThrowsWithTheFileName) {
  TempDir dir;
  const auto path = dir / "no-such-folder" / "drvkestrel.ini";
  DiskFileSystem disk;
  IniFile ini(path, disk);
  try {
    WriteComPort(ini, "COM7");
    FAIL() << "no error";
  } catch (const IniWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path.string());
  }
}

}  // namespace
}  // namespace kestrel
