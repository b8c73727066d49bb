#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrel {

// A path written in the settings file (Windows-1251 text, possibly with "\" as the
// separator, as carried over from a Windows station) as a path of this platform.
// Plain text concatenation stays the rule: "spool\" + "ABC.dd8" names ABC.dd8 in
// the folder spool.
std::filesystem::path PathFromSetting(std::string_view cp1251Text);

// Names as the program's text holds them (UTF-8) and paths, both ways. On Windows
// narrow text would be read in the ANSI code page; these never are.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& p);

// The settings file's name and where it is: workDir/drvkestrel.ini. Every reader
// and writer of the settings file takes its path from here.
inline constexpr char kSettingsFileName[] = "drvkestrel.ini";
std::filesystem::path SettingsFilePath(const std::filesystem::path& workDir);

// The process's current directory.
std::filesystem::path CurrentDirectory();

}  // namespace kestrel
