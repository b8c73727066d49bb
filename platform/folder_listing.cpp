#include "platform/folder_listing.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/no_throw.h"
#include "platform/paths.h"

namespace kestrel {

namespace fs = std::filesystem;

std::vector<DirEntry> ListFolder(const fs::path& dir) noexcept {
  // Out of memory: nothing listed.
  return NoThrow([&]() -> std::vector<DirEntry> {
    std::vector<DirEntry> out;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return {};
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      DirEntry e;
      // A name that is no valid text (a lone surrogate): no caller could open it.
      auto name = NoThrow([&] { return std::optional(PathToUtf8(it->path().filename())); });
      if (!name) continue;
      e.name = std::move(*name);
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
    return out;
  });
}

}  // namespace kestrel
