#include "platform/report_once.h"

#include <cstdio>
#include <exception>

#include "platform/no_throw.h"

namespace kestrel {

namespace {

std::string_view Key(std::string_view subject) {
  return subject.substr(0, ReportOnce::kMaxSubject);
}

// What became of a failure; NoMemory is the empty value NoThrow gives on a throw.
enum class Outcome { NoMemory, Told, Repeat, Untold };

}  // namespace

const char* CurrentExceptionText(const char* unknown) noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return unknown;
  }
}

bool ReportOnce::Failed(std::string_view subject,
                        std::initializer_list<std::string_view> line) noexcept {
  const Outcome outcome = NoThrow([&] {
    std::string text = JoinPieces(line);
    {
      std::lock_guard lock(mutex_);
      const std::string_view key = Key(subject.empty() ? std::string_view(text) : subject);
      const auto it = failing_.find(key);
      if (it != failing_.end()) {
        ++it->second;
        return Outcome::Repeat;
      }
      if (failing_.size() >= bound_) {
        ++untold_;
        return Outcome::Untold;
      }
      failing_.emplace(std::string(key), 1);
    }
    log_.Report(text);  // outside the lock: a log may take locks of its own
    return Outcome::Told;
  });
  if (outcome == Outcome::NoMemory) PiecesToStderr(line);
  return outcome == Outcome::Told || outcome == Outcome::NoMemory;
}

std::uint64_t ReportOnce::Over(std::string_view subject, std::string_view recovery) noexcept {
  std::uint64_t count = 0;
  {
    std::lock_guard lock(mutex_);
    const auto it = failing_.find(Key(subject));
    if (it == failing_.end()) return 0;
    count = it->second;
    failing_.erase(it);
  }
  if (recovery.empty()) return count;
  NoThrow([&] {
    std::string text(recovery);
    const auto mark = text.find("{n}");
    if (mark != std::string::npos) text.replace(mark, 3, std::to_string(count));
    log_.Report(text);
  });
  return count;
}

void ReportOnce::AllOver() noexcept {
  std::lock_guard lock(mutex_);
  failing_.clear();
}

bool ReportOnce::Failing(std::string_view subject) const noexcept {
  std::lock_guard lock(mutex_);
  return failing_.find(Key(subject)) != failing_.end();
}

bool ReportOnce::AnyFailing() const noexcept {
  std::lock_guard lock(mutex_);
  return !failing_.empty();
}

std::uint64_t ReportOnce::Untold() const noexcept {
  std::lock_guard lock(mutex_);
  return untold_;
}

}  // namespace kestrel
