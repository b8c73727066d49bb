#pragma once

#include <filesystem>
#include <string>

namespace kestrel {

// Writes `text` as the whole content of `file` the way a reader that may look at
// any moment needs it: into "<file>.tmp" beside it, then renamed over it, so the
// reader sees the old content or the new, never a part. Not flushed to the disk:
// the content is rewritten every few seconds and worthless after a power cut.
// False when it could not be written (the old content then stays).
bool WriteFileWhole(const std::filesystem::path& file, const std::string& text);

}  // namespace kestrel
