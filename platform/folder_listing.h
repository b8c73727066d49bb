#pragma once

#include <filesystem>
#include <vector>

#include "platform/file_system.h"

namespace kestrel {

// The entries of a folder (not recursive), sorted by name, names in UTF-8; size and
// time filled for regular files (a symbolic link is none: it is not followed). Empty when the
// folder cannot be listed; stops at an entry that cannot be read. Both systems' disks list through
// this.
std::vector<DirEntry> ListFolder(const std::filesystem::path& dir) noexcept;

}  // namespace kestrel
