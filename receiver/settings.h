#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "delivery/spool_location.h"
#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace kestrel {

inline constexpr char kMainSection[] = "main";
// The ComPort value that means "no port chosen": no port is opened at start-up.
// Compared exactly, letter case included.
inline constexpr char kNoPortChosen[] = "COM128";
inline constexpr char kDefaultAttention[] = "00:00:10";

// Section `main` of drvkestrel.ini, read once at start-up. Texts are the file's
// own Windows-1251 bytes.
struct MainSettings {
  std::string ComPort = kNoPortChosen;
  std::int32_t br = 2400;
  std::int32_t FirstNumber = 1;
  std::int32_t NoTimeTest = 30;  // minutes
  std::string PathForSoob;
  bool Log = false;
  DateTime Attention = 10 / kSecondsPerDay;  // a duration: fraction of a day
  // Seconds the oldest unacknowledged event may wait before the forwarding alarm
  // goes on; 0 turns the alarm off. A negative or malformed value gives 60.
  std::int32_t AlarmAfter = 60;

  bool operator==(const MainSettings&) const = default;
};

// The settings file as read once at start-up: section `main`, the folder of the
// spool files it names (PathForSoob, relative to the working folder), and whether
// the file was there to read (else every value is its default).
struct StationSettings {
  enum class File { Read, Missing, Unreadable };
  MainSettings main;
  SpoolLocation spool;
  File file = File::Read;
};

// Reads drvkestrel.ini of the working folder. Never fails.
StationSettings ReadStationSettings(FileSystem& fs, const std::filesystem::path& workDir);

// The operator's line for a settings file that was missing or unreadable: which
// values apply instead. Empty when the file was read.
std::string DefaultSettingsLine(const StationSettings& s);

// Reads the seven keys of section `main` in the order ComPort, br, FirstNumber,
// NoTimeTest, PathForSoob, Log, Attention. Never fails: anything missing or
// malformed yields its default.
MainSettings ReadMainSettings(const IniFile& ini);

// A time of day written hours[:minutes[:seconds]], each part decimal digits,
// hours 0..23, minutes and seconds 0..59, nothing after it, converted to a
// fraction of a day. False (out untouched) when the text is not such a time.
bool ParseAttention(const std::string& text, DateTime& out);

// The line speed the setting `br` selects: 9600 for 9600, 2400 for anything else.
int BaudRateFromSetting(std::int32_t br);

// Stores the serial port selector's text as `ComPort` in section `main`, leaving
// every other line of the file as it was. Throws IniWriteError when the file cannot
// be written.
void WriteComPort(IniFile& ini, const std::string& value);

}  // namespace kestrel
