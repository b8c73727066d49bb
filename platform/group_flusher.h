#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/after_durable_queue.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"

namespace kestrel {

// Flushes written files to stable storage in groups, on a thread of its own, so
// that no caller ever waits for the disk. A group starts with the first file or job
// handed over and is flushed at most `window` later: each file's data, then each
// folder touched once (covering the file's creation and its rename), then the
// after-durable jobs of the group, in order. With the default 50 ms window every
// file is on stable storage well within 100 ms of its hand-over.
//
// Manual mode (tests) starts no thread: RunOnce flushes what waits, on the
// caller's thread, so a test decides the instants and needs no sleeps.
//
// Thread-safe. After Stop, files and jobs handed over are handled at once on the
// caller's thread.
class GroupFlusher final : public AfterDurableQueue {
 public:
  struct Options {
    std::chrono::milliseconds window{50};
    bool manual = false;
    // Called on the flusher's thread before each wait for work, idle or not at
    // least once a second: its sign of life for a watchdog. Must not block.
    std::function<void()> alive = {};
  };

  GroupFlusher(FileSystem& fs, OperatorLog& log, Options options);
  GroupFlusher(FileSystem& fs, OperatorLog& log) : GroupFlusher(fs, log, Options{}) {}
  ~GroupFlusher() override;
  GroupFlusher(const GroupFlusher&) = delete;
  GroupFlusher& operator=(const GroupFlusher&) = delete;

  // A file written and renamed into place, whose data and name are to be flushed.
  // A file removed before its turn (an event acknowledged at once) is no failure.
  void FileWritten(const std::filesystem::path& file);
  void AfterDurable(const void* key, std::function<void()> job) override;

  // Manual mode: flushes what waits now. False when nothing waited.
  bool RunOnce();

  // Flushes everything held and ends the thread. Waits at most `limit`; true when
  // all was flushed in time. On a timeout the thread is left to finish on its own
  // (the file system must outlive it) and its remaining work is not reported.
  bool Stop(std::chrono::milliseconds limit = std::chrono::seconds(10));

  struct Figures {
    std::uint64_t runs = 0;           // groups flushed
    std::uint64_t filesFlushed = 0;   // file data flushes
    std::uint64_t folderFlushes = 0;  // folder flushes
    std::uint64_t jobsRun = 0;        // after-durable jobs run
    std::uint64_t failures = 0;       // flushes that failed
  };
  Figures Counts() const;
  // Files and jobs handed over and not yet flushed or run.
  std::size_t Waiting() const;

 private:
  struct Job {
    const void* key = nullptr;
    std::function<void()> run;
  };
  struct Group {
    std::vector<std::filesystem::path> files;
    std::vector<Job> jobs;
    bool Empty() const { return files.empty() && jobs.empty(); }
  };
  struct Core;

  static void Loop(const std::shared_ptr<Core>& core);
  static void RunGroup(Core& core, Group& group);
  static void RunAtOnce(Core& core, Group& group, std::unique_lock<std::mutex>& lock);

  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace kestrel
