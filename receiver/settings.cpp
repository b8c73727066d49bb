#include "receiver/settings.h"

#include <cstddef>

namespace kestrel {

namespace {

// One part of a time text: decimal digits only, at most `limit`.
bool ParseTimePart(const std::string& text, std::size_t begin, std::size_t end, int limit,
                   int& out) {
  if (begin >= end) return false;
  long value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > limit) return false;  // also keeps long runs of digits from overflowing
  }
  out = static_cast<int>(value);
  return true;
}

}  // namespace

bool ParseAttention(const std::string& text, DateTime& out) {
  int parts[3] = {0, 0, 0};
  const int limits[3] = {23, 59, 59};
  std::size_t begin = 0;
  int count = 0;
  while (true) {
    if (count == 3) return false;  // a fourth part
    std::size_t end = text.find(':', begin);
    if (end == std::string::npos) end = text.size();
    if (!ParseTimePart(text, begin, end, limits[count], parts[count])) return false;
    ++count;
    if (end == text.size()) break;
    begin = end + 1;
  }
  out = (parts[0] * 3600 + parts[1] * 60 + parts[2]) / kSecondsPerDay;
  return true;
}

MainSettings ReadMainSettings(const IniFile& ini) {
  MainSettings s;
  s.ComPort = ini.ReadString(kMainSection, "ComPort", s.ComPort);
  s.br = ini.ReadInteger(kMainSection, "br", s.br);
  s.FirstNumber = ini.ReadInteger(kMainSection, "FirstNumber", s.FirstNumber);
  s.NoTimeTest = ini.ReadInteger(kMainSection, "NoTimeTest", s.NoTimeTest);
  s.PathForSoob = ini.ReadString(kMainSection, "PathForSoob", s.PathForSoob);
  s.Log = ini.ReadBool(kMainSection, "Log", s.Log);
  const std::string attention = ini.ReadString(kMainSection, "Attention", kDefaultAttention);
  if (!ParseAttention(attention, s.Attention)) {
    ParseAttention(kDefaultAttention, s.Attention);
  }
  s.AlarmAfter = ini.ReadInteger(kMainSection, "AlarmAfter", s.AlarmAfter);
  if (s.AlarmAfter < 0) s.AlarmAfter = MainSettings{}.AlarmAfter;
  return s;
}

StationSettings ReadStationSettings(FileSystem& fs, const std::filesystem::path& workDir) {
  const std::filesystem::path iniPath = SettingsFilePath(workDir);
  StationSettings s;
  s.main = ReadMainSettings(IniFile(iniPath, fs));
  s.spool = MakeSpoolLocation(s.main.PathForSoob, workDir);
  if (!fs.ReadAll(iniPath))
    s.file =
        fs.Exists(iniPath) ? StationSettings::File::Unreadable : StationSettings::File::Missing;
  return s;
}

std::string DefaultSettingsLine(const StationSettings& settings) {
  if (settings.file == StationSettings::File::Read) return {};
  const std::string name = SettingsFilePath({}).filename().string();
  const std::string what =
      settings.file == StationSettings::File::Unreadable
          ? "Файл настроек " + name + " не читается (не обычный файл или нет прав)"
          : "Файл настроек " + name + " не найден";
  const MainSettings& s = settings.main;
  return what + "; действуют значения по умолчанию: порт " + s.ComPort + " (не выбран), скорость " +
         std::to_string(s.br) + ", первый номер " + std::to_string(s.FirstNumber) +
         ", контроль молчания " + std::to_string(s.NoTimeTest) + " мин, журнал приёма выключен.";
}

int BaudRateFromSetting(std::int32_t br) { return br == 9600 ? 9600 : 2400; }

void WriteComPort(IniFile& ini, const std::string& value) {
  ini.WriteString(kMainSection, "ComPort", value);
}

}  // namespace kestrel
