#include "receiver/raw_log.h"

#include <utility>

namespace kestrel {

RawLog::RawLog(std::filesystem::path path, FileSystem& fs, OperatorLog& log,
               RawLogRotation rotation)
    : path_(std::move(path)),
      name_(path_.filename().string()),
      fs_(fs),
      log_(log),
      rotation_(rotation) {}

std::filesystem::path RawLog::OldPath(int n) const {
  // Appended piece by piece: GCC 12 takes "." + a string for an overlapping copy
  // (a false -Wrestrict in the Windows Release build).
  std::filesystem::path p = path_;
  p += '.';
  p += std::to_string(n);
  return p;
}

std::uint64_t RawLog::CurrentSize() {
  if (size_) return *size_;
  std::filesystem::path dir = path_.parent_path();
  if (dir.empty()) dir = ".";
  std::uint64_t size = 0;
  for (const DirEntry& e : fs_.List(dir)) {
    if (e.name == name_ && e.regular) size = e.size;
  }
  size_ = size;
  return size;
}

void RawLog::RotateIfFull(std::uint64_t incoming) {
  const std::uint64_t size = CurrentSize();
  if (size == 0 || size + incoming <= rotation_.maxBytes) return;
  if (rotation_.keep <= 0) {
    if (fs_.Remove(path_)) size_ = 0;
    return;
  }
  // Oldest first, so that every rename has a free name to go to.
  if (fs_.Exists(OldPath(rotation_.keep))) fs_.Remove(OldPath(rotation_.keep));
  for (int n = rotation_.keep - 1; n >= 1; --n) {
    if (fs_.Exists(OldPath(n))) fs_.RenameNoReplace(OldPath(n), OldPath(n + 1));
  }
  // When this fails the file goes on growing; the next write tries again.
  if (fs_.RenameNoReplace(path_, OldPath(1))) size_ = 0;
}

bool RawLog::Append(ByteView bytes) {
  if (bytes.empty()) return true;
  RotateIfFull(bytes.size());
  const bool ok = fs_.Append(path_, bytes);
  if (ok && size_) {
    *size_ += bytes.size();
  } else {
    size_.reset();  // a failed write may have left part of it
  }
  if (!ok && !failing_) {
    ReportJoined(log_, {"Не удалось записать журнал приёма (", name_, ")."});
  } else if (ok && failing_) {
    ReportJoined(log_, {"Журнал приёма (", name_, ") снова записывается."});
  }
  failing_ = !ok;
  return ok;
}

}  // namespace kestrel
