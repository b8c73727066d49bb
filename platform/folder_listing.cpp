#include "platform/folder_listing.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/paths.h"

namespace kestrel {

namespace fs = std::filesystem;

std::vector<DirEntry> ListFolder(const fs::path& dir) noexcept {
  std::vector<DirEntry> out;
  try {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return {};
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      DirEntry e;
      try {
        e.name = PathToUtf8(it->path().filename());
      } catch (const std::exception&) {
        continue;  // a name that is no valid text (a lone surrogate): no caller could open it
      }
      std::error_code entryEc;
      // The entry itself: a link is not a file, wherever it leads.
      const fs::file_status status = it->symlink_status(entryEc);
      e.regular = !entryEc && fs::is_regular_file(status);
      if (e.regular) {
        const auto size = it->file_size(entryEc);
        if (!entryEc) e.size = size;
        const auto time = it->last_write_time(entryEc);
        if (!entryEc) e.modified = time;
      }
      out.push_back(std::move(e));
    }
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  } catch (...) {  // out of memory
    return {};
  }
  return out;
}

}  // namespace kestrel
