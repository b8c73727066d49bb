#include "station/station_log.h"

#include <utility>

#include "platform/no_throw.h"

namespace kestrel {

void StationLog::Listen(Listener listener) {
  std::lock_guard lock(listenerMutex_);
  listener_ = std::move(listener);
  if (!listener_) return;
  for (const std::string& line : kept_) listener_(line);
  kept_.clear();
}

void StationLog::Report(const std::string& line) noexcept {
  below_.Report(line);
  Show(line);
}

void StationLog::Notice(const std::string& line) noexcept {
  below_.Notice(line);
  Show(line);
}

void StationLog::Warning(const std::string& line) noexcept {
  below_.Warning(line);
  Show(line);
}

void StationLog::Show(const std::string& line) noexcept {
  NoThrow([&] {
    std::lock_guard lock(listenerMutex_);
    if (listener_) {
      listener_(line);
      return;
    }
    kept_.push_back(line);
    if (kept_.size() > kKeptLines) kept_.pop_front();
  });
}

}  // namespace kestrel
