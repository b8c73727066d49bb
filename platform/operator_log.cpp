#include "platform/operator_log.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "platform/no_throw.h"

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

void WriteLogLine(LogPriority priority, std::string_view line) noexcept {
  // As FormatLogLine makes it, written in one locked run of the stream.
  char prefix[3] = {'<', static_cast<char>('0' + static_cast<int>(priority)), '>'};
  std::FILE* out = stderr;
#ifndef _WIN32
  ::flockfile(out);
#endif
  if (StderrIsJournal()) std::fwrite(prefix, 1, sizeof prefix, out);
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
  std::fflush(out);
#ifndef _WIN32
  ::funlockfile(out);
#endif
}

std::string JoinPieces(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : pieces) out += p;
  return out;
}

void PiecesToStderr(std::initializer_list<std::string_view> pieces) noexcept {
  for (std::string_view p : pieces) std::fwrite(p.data(), 1, p.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void ReportJoined(OperatorLog& log, std::initializer_list<std::string_view> line) noexcept {
  std::string text;
  if (NoThrow([&] {
        text = JoinPieces(line);
        return true;
      })) {
    log.Report(text);
  } else {
    PiecesToStderr(line);
  }
}

void StderrOperatorLog::Report(const std::string& line) noexcept {
  WriteLogLine(LogPriority::Error, line);
}

void StderrOperatorLog::Notice(const std::string& line) noexcept {
  WriteLogLine(LogPriority::Notice, line);
}

void StderrOperatorLog::Warning(const std::string& line) noexcept {
  WriteLogLine(LogPriority::Warning, line);
}

}  // namespace kestrel
