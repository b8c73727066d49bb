#include "platform/paths.h"

#include <system_error>

#include "platform/text_1251.h"

namespace kestrel {

std::filesystem::path PathFromSetting(std::string_view cp1251Text) {
  std::string text = Cp1251ToUtf8(cp1251Text);
#ifndef _WIN32
  // A settings file carried over from a Windows station writes "\" between names.
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
#endif
#ifdef _WIN32
  // Windows reads narrow text in its ANSI code page; the text here is UTF-8.
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
  return std::filesystem::path(text);
#endif
}

std::filesystem::path SettingsFilePath(const std::filesystem::path& workDir) {
  return workDir / kSettingsFileName;
}

std::filesystem::path CurrentDirectory() {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::current_path(ec);
  if (ec) return std::filesystem::path(".");
  return dir;
}

}  // namespace kestrel
