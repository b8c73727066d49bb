#include "tools/msgserver/line_printer.h"

#include <chrono>
#include <utility>

namespace kestrel::msgserver {

LinePrinter::LinePrinter(std::FILE* out) : out_(out), thread_([this] { Run(); }) {}

LinePrinter::~LinePrinter() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void LinePrinter::Print(std::string line) {
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  changed_.notify_all();
}

bool LinePrinter::Drain(int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return lines_.empty() && !writing_; });
}

void LinePrinter::Run() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stop_ || !lines_.empty(); });
    if (lines_.empty()) return;  // stopping, and everything is written
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    writing_ = true;
    lock.unlock();
    line += '\n';
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    lock.lock();
    writing_ = false;
    changed_.notify_all();
  }
}

}  // namespace kestrel::msgserver
