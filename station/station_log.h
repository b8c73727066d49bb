#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/operator_log.h"

namespace kestrel {

// The operator log of the whole station (table, raw log, spool files, link, the
// station itself): every line goes to the log below it (standard error, which the
// journal reads under the service manager), then to the one listener that shows
// lines (the window's log area), if any. May be called from any thread; the
// listener is called on the reporting thread and must pass the line on without
// waiting for another thread.
class StationLog final : public OperatorLog {
 public:
  static constexpr std::size_t kKeptLines = 1000;
  // `below` null: standard error.
  explicit StationLog(OperatorLog* below = nullptr) : below_(below != nullptr ? *below : stderr_) {}

  using Listener = std::function<void(const std::string& line)>;
  // Who is shown every line from now on; an empty one: nobody. Lines reported
  // while nobody listened (start-up comes before the window) are shown to the
  // next listener first, the last kKeptLines of them. Returns once a line being
  // passed to the one before has been passed.
  void Listen(Listener listener);

  void Report(const std::string& line) noexcept override;
  void Notice(const std::string& line) noexcept override;
  void Warning(const std::string& line) noexcept override;

 private:
  // Never throws: a listener that fails (or no memory to keep the line) costs the
  // window its copy of the line, never the line on standard error.
  void Show(const std::string& line) noexcept;

  StderrOperatorLog stderr_;
  OperatorLog& below_;
  std::mutex listenerMutex_;
  Listener listener_;
  std::deque<std::string> kept_;  // while nobody listens
};

}  // namespace kestrel
