#include "platform/operator_log.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kestrel {

std::optional<StreamId> ParseJournalStream(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return {};
  StreamId id;
  const char* first = text.data();
  const char* mid = first + colon;
  const char* last = first + text.size();
  auto a = std::from_chars(first, mid, id.dev);
  if (a.ec != std::errc() || a.ptr != mid) return {};
  auto b = std::from_chars(mid + 1, last, id.ino);
  if (b.ec != std::errc() || b.ptr != last) return {};
  return id;
}

std::string FormatLogLine(LogPriority priority, std::string_view line, bool underJournal) {
  std::string out;
  out.reserve(line.size() + 4);
  if (underJournal) {
    out += '<';
    out += static_cast<char>('0' + static_cast<int>(priority));
    out += '>';
  }
  out += line;
  return out;
}

namespace {

bool DetectJournal() {
#ifdef _WIN32
  return false;
#else
  const char* env = std::getenv("JOURNAL_STREAM");
  if (env == nullptr) return false;
  const auto id = ParseJournalStream(env);
  if (!id) return false;
  struct stat st {};
  if (::fstat(2, &st) != 0) return false;
  return static_cast<std::uint64_t>(st.st_dev) == id->dev &&
         static_cast<std::uint64_t>(st.st_ino) == id->ino;
#endif
}

}  // namespace

bool StderrIsJournal() {
  static const bool journal = DetectJournal();
  return journal;
}

void WriteLogLine(LogPriority priority, std::string_view line) {
  const std::string text = FormatLogLine(priority, line, StderrIsJournal());
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void StderrOperatorLog::Report(const std::string& line) { WriteLogLine(LogPriority::Error, line); }

void StderrOperatorLog::Notice(const std::string& line) { WriteLogLine(LogPriority::Notice, line); }

void StderrOperatorLog::Warning(const std::string& line) {
  WriteLogLine(LogPriority::Warning, line);
}

}  // namespace kestrel
