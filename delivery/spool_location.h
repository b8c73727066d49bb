#pragma once

#include <filesystem>
#include <string>

namespace kestrel {

// Where spool files live. The setting PathForSoob is a plain text prefix of every
// spool file name: empty for the working directory, "spool\" for the folder spool,
// "D:\spool\" for an absolute folder. Whatever follows the last separator is the
// start of each file name (usually nothing).
struct SpoolLocation {
  std::filesystem::path dir;  // the folder holding the spool files
  std::string namePrefix;     // file-name part of the prefix (UTF-8), usually empty

  // dir / (namePrefix + baseName + ".dd8")
  std::filesystem::path FileFor(const std::string& baseName) const;
  // True for a name (no folder) that starts with namePrefix and ends with ".dd8",
  // the extension's letter case ignored.
  bool IsSpoolName(const std::string& fileName) const;
};

// pathForSoobCp1251 is the setting's text as read (Windows-1251, "\" or "/" as the
// separator); a relative prefix is taken relative to workDir.
SpoolLocation MakeSpoolLocation(const std::string& pathForSoobCp1251,
                                const std::filesystem::path& workDir);

}  // namespace kestrel
