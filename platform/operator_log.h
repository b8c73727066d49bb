#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// How much a line on standard error matters, as syslog numbers it: failures are
// errors, changes of a link's state notices, the rest information.
enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// The device and inode of the stream the journal handed to a service
// ("JOURNAL_STREAM=dev:ino"); nullopt when the text is not of that form.
struct StreamId {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  bool operator==(const StreamId&) const = default;
};
std::optional<StreamId> ParseJournalStream(std::string_view text);

// One line as written to standard error: under the journal it starts with the
// priority ("<3>", "<5>", "<6>") and carries no time stamp (the journal stamps
// every line itself); otherwise it is the line as it is.
std::string FormatLogLine(LogPriority priority, std::string_view line, bool underJournal);

// True when standard error is the stream the journal gave this process (the
// variable JOURNAL_STREAM names the device and inode of standard error). Checked
// once; false on systems without a journal.
bool StderrIsJournal();

// Writes one line to standard error (and flushes it), formatted as above, without
// making a copy of it. A failed write is ignored: the program never stops for its log.
void WriteLogLine(LogPriority priority, std::string_view line) noexcept;

// Failures the operator must know of: one line of text each (UTF-8). The window
// shows them in its log area; before it exists, and in console runs, they go to
// standard error. Telling the operator never throws: a log whose own work may fail
// (a widget, memory) catches that itself and writes the line to standard error, so
// no caller ever guards a call of its log.
class OperatorLog {
 public:
  virtual ~OperatorLog() = default;
  virtual void Report(const std::string& line) noexcept = 0;
  // A change of state the operator should see (the link connected or lost, a
  // backlog begun or cleared): shown like a failure, but not counted as one
  // where lines carry a priority.
  virtual void Notice(const std::string& line) noexcept { Report(line); }
  // Something is wrong that is not a failure of the program (an alarm begun).
  virtual void Warning(const std::string& line) noexcept { Report(line); }
};

// The pieces of a line joined (may run out of memory).
std::string JoinPieces(std::initializer_list<std::string_view> pieces);
// The last resort when not even a line can be made: its pieces, as they are, on
// standard error.
void PiecesToStderr(std::initializer_list<std::string_view> pieces) noexcept;

// Reports the pieces of `line` joined into one line. When there is no memory to
// join them, the pieces go to standard error as they are.
void ReportJoined(OperatorLog& log, std::initializer_list<std::string_view> line) noexcept;

// Writes every reported line to standard error as an error.
class StderrOperatorLog final : public OperatorLog {
 public:
  void Report(const std::string& line) noexcept override;
  void Notice(const std::string& line) noexcept override;
  void Warning(const std::string& line) noexcept override;
};

}  // namespace kestrel
