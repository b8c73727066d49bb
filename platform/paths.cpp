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
  return PathFromUtf8(text);
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string PathToUtf8(const std::filesystem::path& p) {
  const std::u8string text = p.u8string();
  return std::string(text.begin(), text.end());
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
