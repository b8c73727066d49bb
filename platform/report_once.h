#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/operator_log.h"

namespace kestrel {

// Inside a catch block: the text of the exception being handled (its what()), or
// `unknown` for a throw that is no std::exception. Valid while it is handled.
const char* CurrentExceptionText(const char* unknown = "неизвестная ошибка") noexcept;

// Tells the operator of each failure once: a failure that repeats every step or
// every line does not flood the log. A failure is known by its subject (what
// fails: a step, a file, a text); its first line is told, the repeats are only
// counted until Over says the failure has ended. Then a recovery line may be told,
// with the count. At most `bound` subjects are kept failing at once: beyond that,
// new failures are counted as untold and nothing more is kept. Nothing here
// throws: when a line cannot even be made (out of memory), its pieces go to
// standard error as they are. Any thread.
class ReportOnce {
 public:
  static constexpr std::size_t kDefaultBound = 64;
  // Subjects longer than this are known by their beginning.
  static constexpr std::size_t kMaxSubject = 256;

  explicit ReportOnce(OperatorLog& log, std::size_t bound = kDefaultBound)
      : log_(log), bound_(bound) {}
  ReportOnce(const ReportOnce&) = delete;
  ReportOnce& operator=(const ReportOnce&) = delete;

  // A failure of `subject`, told as the pieces of `line` joined, unless the subject
  // is failing already. An empty subject means the line itself is the subject (each
  // distinct text is told once). True when the line was told.
  bool Failed(std::string_view subject, std::initializer_list<std::string_view> line) noexcept;

  // The failure of `subject` has ended. When it was failing and `recovery` is not
  // empty, `recovery` is told with "{n}" replaced by the number of failures seen
  // (the first and its repeats). Returns that number, 0 when it was not failing.
  std::uint64_t Over(std::string_view subject, std::string_view recovery = {}) noexcept;

  // Every failure has ended, without a word (a line handled well after failures of
  // the lines before it).
  void AllOver() noexcept;

  bool Failing(std::string_view subject) const noexcept;
  bool AnyFailing() const noexcept;
  // Failures not told because `bound` subjects were failing already.
  std::uint64_t Untold() const noexcept;

 private:
  OperatorLog& log_;
  const std::size_t bound_;
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t, std::less<>> failing_;  // subject -> failures seen
  std::uint64_t untold_ = 0;
};

}  // namespace kestrel
