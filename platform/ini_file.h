#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace kestrel {

class FileSystem;

// A write to the settings file failed. what() is "Unable to write to <full name>".
class IniWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The INI profile service, with the rules of the settings file: Windows-1251
// bytes in CR LF lines; section and key names matched without regard to letter
// case; spaces around a value trimmed; a missing file, section or key yields the
// default; integers 32-bit signed, decimal with optional sign, or hexadecimal
// with "0x" or "$"; a flag is true when its integer is not 0; text values are
// read up to 2047 characters. Texts in and out are the file's own bytes
// (Windows-1251), not converted.
//
// Every call opens and closes the file by itself; nothing is cached.
class IniFile {
 public:
  // Through the given file operations, like every other file (tests make them
  // fail); `files` must outlive this object.
  IniFile(std::filesystem::path file, FileSystem& files);

  const std::filesystem::path& Path() const { return file_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  // Replaces the key's value in place, or adds the key, the section or the file;
  // every other line stays as it was. The file is replaced through a temporary
  // file and a rename, so a crash never leaves it truncated.
  // Throws IniWriteError("Unable to write to <full name>") on failure.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

 private:
  std::string ReadText() const;

  std::filesystem::path file_;
  FileSystem& files_;
};

// Parses an integer by the settings file's rules; false when the text is not one.
bool ParseIniInteger(const std::string& text, std::int32_t& out);

}  // namespace kestrel
