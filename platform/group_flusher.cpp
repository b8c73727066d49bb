#include "platform/group_flusher.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/report_once.h"

namespace kestrel {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFlushing = "flush";  // the subject of flush failures

// The guard of the flusher's thread loop and of the work of others it runs (a sign
// of life, the jobs): what throws is told once, and the flushing goes on.
template <class Core, class Work>
void Guarded(Core& core, Work&& work) noexcept {
  try {
    std::forward<Work>(work)();
  } catch (...) {
    if (!core.Abandoned()) {
      core.caught.Failed({}, {"Сбой работы после сброса на диск: ", CurrentExceptionText(), "."});
    }
  }
}

}  // namespace

struct GroupFlusher::Core {
  Core(FileSystem& f, OperatorLog& l, Options o) : fs(f), log(l), options(o) {}

  FileSystem& fs;
  OperatorLog& log;
  const Options options;

  mutable std::mutex mutex;  // guards everything below but runMutex
  std::condition_variable wake;
  std::condition_variable done;
  Group pending;
  std::chrono::steady_clock::time_point firstAt{};
  bool stopping = false;
  bool stopped = false;    // Stop has been called and the held work is done
  bool finished = false;   // the thread has ended its loop
  bool abandoned = false;  // Stop gave up waiting: report nothing more
  Figures figures;
  // Flush failures are told once, until a group flushes files again without one.
  ReportOnce flushFailure{log, 1};
  // What the work of others run here threw: each distinct text once.
  ReportOnce caught{log};

  std::mutex runMutex;  // one group at a time

  bool Abandoned() {
    std::lock_guard lock(mutex);
    return abandoned;
  }

  // Nothing handed over now would be flushed by the thread: it has ended, or was
  // never there and Stop has been called. Expects mutex to be held.
  bool Ended() const { return finished || stopped; }

  Group Take() {
    Group g = std::move(pending);
    pending = Group{};
    return g;
  }
};

// Work handed over after the end runs on the caller's thread. After a stop that gave
// up waiting, the thread may still hold runMutex in a flush that does not return:
// the caller then does not wait for it.
void GroupFlusher::RunAtOnce(Core& core, Group& group, std::unique_lock<std::mutex>& lock) {
  const bool abandoned = core.abandoned;
  lock.unlock();
  std::unique_lock run(core.runMutex, std::defer_lock);
  if (!abandoned) run.lock();
  RunGroup(core, group);
}

GroupFlusher::GroupFlusher(FileSystem& fs, OperatorLog& log, Options options)
    : core_(std::make_shared<Core>(fs, log, options)) {
  if (!options.manual) {
    std::shared_ptr<Core> core = core_;
    thread_ = std::thread([core] { Loop(core); });
  }
}

GroupFlusher::~GroupFlusher() { Stop(); }

void GroupFlusher::FileWritten(const fs::path& file) {
  std::unique_lock lock(core_->mutex);
  if (core_->Ended()) {
    Group now;
    now.files.push_back(file);
    RunAtOnce(*core_, now, lock);
    return;
  }
  if (core_->pending.Empty()) core_->firstAt = std::chrono::steady_clock::now();
  core_->pending.files.push_back(file);
  lock.unlock();
  core_->wake.notify_all();
}

void GroupFlusher::AfterDurable(const void* key, std::function<void()> job) {
  std::unique_lock lock(core_->mutex);
  if (core_->Ended()) {
    Group now;
    now.jobs.push_back(Job{key, std::move(job)});
    RunAtOnce(*core_, now, lock);
    return;
  }
  Group& g = core_->pending;
  if (g.Empty()) core_->firstAt = std::chrono::steady_clock::now();
  // Every file of this group is flushed before any of its jobs runs, so a later job
  // of the same key may stand in for an earlier one wherever that one stood.
  if (key != nullptr) {
    for (Job& waiting : g.jobs) {
      if (waiting.key == key) {
        waiting.run = std::move(job);
        return;
      }
    }
  }
  g.jobs.push_back(Job{key, std::move(job)});
  lock.unlock();
  core_->wake.notify_all();
}

bool GroupFlusher::RunOnce() {
  Group g;
  {
    std::lock_guard lock(core_->mutex);
    // A thread given up on while it hung in a flush still holds the run: waiting
    // for it here would hang whoever asked.
    if (core_->abandoned) return false;
    g = core_->Take();
  }
  if (g.Empty()) return false;
  std::lock_guard run(core_->runMutex);
  RunGroup(*core_, g);
  return true;
}

bool GroupFlusher::Stop(std::chrono::milliseconds limit) {
  if (!thread_.joinable()) {
    // Manual mode, or stopped before.
    {
      std::lock_guard lock(core_->mutex);
      if (core_->abandoned) return false;  // stopped before, and not in time
    }
    while (RunOnce()) {
    }
    std::lock_guard lock(core_->mutex);
    core_->stopped = true;
    return true;
  }
  std::unique_lock lock(core_->mutex);
  core_->stopping = true;
  core_->wake.notify_all();
  const bool inTime = core_->done.wait_for(lock, limit, [this] { return core_->finished; });
  if (!inTime) core_->abandoned = true;
  core_->stopped = true;
  lock.unlock();
  if (inTime) {
    thread_.join();
  } else {
    thread_.detach();
  }
  return inTime;
}

GroupFlusher::Figures GroupFlusher::Counts() const {
  std::lock_guard lock(core_->mutex);
  return core_->figures;
}

std::size_t GroupFlusher::Waiting() const {
  std::lock_guard lock(core_->mutex);
  return core_->pending.files.size() + core_->pending.jobs.size();
}

void GroupFlusher::Loop(const std::shared_ptr<Core>& core) {
  constexpr auto kAliveEvery = std::chrono::seconds(1);
  for (;;) {
    bool beat = false;
    {
      std::lock_guard lock(core->mutex);
      beat = !core->stopping;  // after a stop its owner may be gone
    }
    if (beat && core->options.alive) Guarded(*core, core->options.alive);
    Group g;
    {
      std::unique_lock lock(core->mutex);
      if (!core->wake.wait_for(lock, kAliveEvery,
                               [&] { return core->stopping || !core->pending.Empty(); }))
        continue;  // idle: another sign of life, then wait again
      if (!core->stopping) {
        // Let the group gather for the rest of its window; a stop cuts it short.
        const auto due = core->firstAt + core->options.window;
        core->wake.wait_until(lock, due, [&] { return core->stopping; });
      }
      if (core->pending.Empty()) {
        if (!core->stopping) continue;
        core->finished = true;
        core->done.notify_all();
        return;
      }
      g = core->Take();
    }
    {
      std::lock_guard run(core->runMutex);
      Guarded(*core, [&] { RunGroup(*core, g); });
    }
    std::lock_guard lock(core->mutex);
    if (core->abandoned) return;
  }
}

void GroupFlusher::RunGroup(Core& core, Group& group) {
  Figures add;
  std::string firstFailure;
  std::vector<fs::path> folders;
  for (const fs::path& file : group.files) {
    fs::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(folder);
    }
    // A file already acknowledged and removed needs no flush.
    const bool ok = core.fs.FlushFile(file) || !core.fs.Exists(file);
    ++add.filesFlushed;
    if (!ok) {
      ++add.failures;
      if (firstFailure.empty()) {
        firstFailure = "Не удалось сбросить на диск файл события " + file.string() + ".";
      }
    }
  }
  for (const fs::path& folder : folders) {
    const bool ok = core.fs.FlushFolder(folder);
    ++add.folderFlushes;
    if (!ok) {
      ++add.failures;
      if (firstFailure.empty()) {
        firstFailure = "Не удалось сбросить на диск папку событий " + folder.string() + ".";
      }
    }
  }
  // The jobs run even when a flush failed: the data is written (a dead process
  // loses nothing of it), only its survival of a power cut is in doubt, and
  // holding the table back for ever would lose more than it protects.
  for (Job& job : group.jobs) {
    if (job.run) Guarded(core, job.run);
    ++add.jobsRun;
  }

  {
    std::lock_guard lock(core.mutex);
    ++core.figures.runs;
    core.figures.filesFlushed += add.filesFlushed;
    core.figures.folderFlushes += add.folderFlushes;
    core.figures.jobsRun += add.jobsRun;
    core.figures.failures += add.failures;
  }
  if (core.Abandoned()) return;  // its owner stopped waiting and may be gone
  if (add.failures > 0) {
    core.flushFailure.Failed(kFlushing, {firstFailure});
  } else if (add.filesFlushed > 0) {
    core.flushFailure.Over(kFlushing, "Файлы событий снова сбрасываются на диск.");
  }
}

}  // namespace kestrel
