#include "platform/rename_aside.h"

#include "platform/no_throw.h"

namespace kestrel {

std::filesystem::path AsideNames::For(const std::filesystem::path& file, int index) const {
  std::filesystem::path name = file;
  name += suffix;
  if (index > 0) name += separator + std::to_string(firstNumber + index - 1);
  return name;
}

AsideResult RenameAside(FileSystem& files, const std::filesystem::path& file,
                        const AsideNames& names) noexcept {
  // Out of memory making a name: the file stays where it is (Failed).
  return NoThrow([&] {
    AsideResult result;
    for (int i = 0; i < names.count; ++i) {
      const std::filesystem::path aside = names.For(file, i);
      if (files.Exists(aside)) continue;
      if (files.RenameNoReplace(file, aside)) {
        result.outcome = AsideResult::Outcome::Renamed;
        result.aside = aside;
        return result;
      }
      if (!files.Exists(file)) {
        result.outcome = AsideResult::Outcome::SourceGone;
        return result;
      }
      if (!files.Exists(aside)) break;  // not a name taken meanwhile: the rename fails as such
    }
    return AsideResult{};
  });
}

}  // namespace kestrel
