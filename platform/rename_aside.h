#pragma once

#include <filesystem>
#include <string>

#include "platform/file_system.h"

namespace kestrel {

// How the names of a file set aside are made: the first is the file's own name with
// `suffix`; the following ones add `separator` and a number counting from
// `firstNumber`. With suffix ".bad", no separator and 1: X.bad, X.bad1, X.bad2, ...
// With ".unreadable", "." and 2: X.unreadable, X.unreadable.2, X.unreadable.3, ...
struct AsideNames {
  std::string suffix;
  std::string separator;
  int firstNumber = 1;
  // How many names are tried at most.
  int count = 1000;

  // The name number `index` (0 is the first) for `file`.
  std::filesystem::path For(const std::filesystem::path& file, int index) const;
};

struct AsideResult {
  enum class Outcome {
    Renamed,     // the file now has the name `aside`
    SourceGone,  // the file disappeared meanwhile: nothing is left to set aside
    Failed,      // the file is still there under its own name
  };
  Outcome outcome = Outcome::Failed;
  std::filesystem::path aside;
};

// Renames `file` to the first of its aside names that is free, never replacing
// another file. A name taken meanwhile by someone else moves on to the next; a
// rename that fails for any other reason ends the attempt (the next names would
// fail alike). Never throws.
AsideResult RenameAside(FileSystem& files, const std::filesystem::path& file,
                        const AsideNames& names) noexcept;

}  // namespace kestrel
