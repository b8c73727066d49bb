#include "platform/caught_reports.h"

#include <cstdio>
#include <exception>

namespace kestrel {

std::string CaughtReports::Describe(const char* where) {
  std::string what = "неизвестная ошибка";
  try {
    throw;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  return std::string("Сбой связи с сервером (") + where + "): " + what + ".";
}

void CaughtReports::Report(const char* where) noexcept {
  std::string text;
  try {
    text = Describe(where);
    std::lock_guard lock(mutex_);
    if (told_.size() >= kMaxDistinct || !told_.insert(text).second) return;
  } catch (...) {
    return;  // out of memory: nothing sensible can be told
  }
  try {
    log_.Report(text);
  } catch (...) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }
}

}  // namespace kestrel
