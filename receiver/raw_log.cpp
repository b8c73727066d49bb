#include "receiver/raw_log.h"

#include <utility>

namespace kestrel {

RawLog::RawLog(std::filesystem::path path, FileSystem& fs, OperatorLog& log)
    : path_(std::move(path)), fs_(fs), log_(log) {}

bool RawLog::Append(ByteView bytes) {
  if (bytes.empty()) return true;
  bool ok = false;
  try {
    ok = fs_.Append(path_, bytes);
  } catch (...) {
    ok = false;
  }
  try {
    const std::string name = path_.filename().string();
    if (!ok && !failing_) {
      log_.Report("Не удалось записать журнал приёма (" + name + ").");
    } else if (ok && failing_) {
      log_.Report("Журнал приёма (" + name + ") снова записывается.");
    }
  } catch (...) {
    // Reporting is best effort; the bytes still go on to the decoder.
  }
  failing_ = !ok;
  return ok;
}

}  // namespace kestrel
