#include "delivery/spool_location.h"

#include "platform/paths.h"

namespace kestrel {

namespace {

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  const std::size_t start = text.size() - suffix.size();
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char c = text[start + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

std::filesystem::path SpoolLocation::FileFor(const std::string& baseName) const {
  return dir / PathFromUtf8(namePrefix + baseName + ".dd8");
}

bool SpoolLocation::IsSpoolName(const std::string& fileName) const {
  return fileName.size() >= namePrefix.size() + 4 &&
         fileName.compare(0, namePrefix.size(), namePrefix) == 0 &&
         EndsWithNoCase(fileName, ".dd8");
}

SpoolLocation MakeSpoolLocation(const std::string& pathForSoobCp1251,
                                const std::filesystem::path& workDir) {
  SpoolLocation location;
  if (pathForSoobCp1251.empty()) {
    location.dir = workDir;
    return location;
  }
  // The prefix is plain text put before each name: what follows its last
  // separator starts every file name, what comes before is the folder.
  const std::filesystem::path prefix = PathFromSetting(pathForSoobCp1251);
  location.namePrefix = PathToUtf8(prefix.filename());
  const std::filesystem::path folder = prefix.parent_path();
  location.dir = folder.empty() ? workDir : workDir / folder;
  return location;
}

}  // namespace kestrel
