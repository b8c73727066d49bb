#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel::msgserver {

// Writes lines to a stream on a thread of its own, each flushed at once, so the
// server never stalls when whoever reads its output falls behind (a full pipe
// blocks only this thread; the lines wait in memory).
class LinePrinter {
 public:
  explicit LinePrinter(std::FILE* out);
  ~LinePrinter();
  LinePrinter(const LinePrinter&) = delete;
  LinePrinter& operator=(const LinePrinter&) = delete;

  void Print(std::string line);
  // Waits up to timeoutMs for every line to be written; false when some are still
  // waiting (the reader has stopped reading).
  bool Drain(int timeoutMs);

 private:
  void Run();

  std::FILE* out_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> lines_;
  bool writing_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kestrel::msgserver
