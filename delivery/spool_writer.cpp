#include "delivery/spool_writer.h"

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <utility>

#include "delivery/commands.h"
#include "delivery/event_record.h"
#include "delivery/spool_file_format.h"
#include "delivery/spool_file_name.h"
#include "platform/paths.h"
#include "platform/rename_aside.h"

namespace kestrel {

namespace {

constexpr const char* kTempSuffix = ".part";
constexpr const char* kSetAsideSuffix = ".bad";
// How many names X.bad, X.bad1, ... are tried.
constexpr int kSetAsideNames = 1000;
// Names tried, one number after another, before a write counts as failed: a
// minute of names. Names found taken are skipped by later writes, so a folder
// strewn with foreign entries costs this once, not per event.
constexpr std::uint32_t kMaxNameProbes = 60 * 1000;

std::string WriteFailedText(const std::string& name) {
  return "Не удалось записать событие в файл " + name + ".";
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

SpoolWriter::SpoolWriter(SpoolLocation location, FileSystem& fs, const Clock& clock,
                         OperatorLog& log)
    : location_(std::move(location)), fs_(fs), clock_(clock), log_(log) {}

std::optional<std::filesystem::path> SpoolWriter::Write(std::int32_t command, ByteView payload) {
  std::lock_guard lock(mutex_);
  const DateTime now = clock_.Now();
  FlushPendingLocked();
  bool waiting = false;
  for (const Pending& p : pending_) waiting = waiting || !p.inFlight;
  std::string name;
  if (!waiting) {
    if (auto written = WriteFileLocked(command, payload, now, &name)) return written;
  }
  const std::string told = KeepLocked(command, payload, now, name);
  if (!told.empty()) log_.Report(told);
  return std::nullopt;
}

std::string SpoolWriter::KeepLocked(std::int32_t command, ByteView payload, DateTime when,
                                    const std::string& attemptedName) {
  const std::string name =
      attemptedName.empty() ? location_.FileFor(SpoolFileName(when)).string() : attemptedName;
  const std::string reason = LastDiskFailureText();
  Pending kept;
  kept.id = nextId_++;
  kept.command = command;
  kept.payload.assign(payload.begin(), payload.end());
  kept.firstTried = when;
  pending_.push_back(std::move(kept));
  ++writeFailures_;
  // Told when the failures begin, with the reason, and when they end, with a count:
  // not once per event.
  if (failedWrites_++ != 0) return {};
  return WriteFailedText(name) + (reason.empty() ? std::string() : " Причина: " + reason + ".") +
         " События хранятся в памяти, пока запись не восстановится.";
}

std::uint32_t SpoolWriter::ReserveLocked(std::uint32_t candidate) {
  // Names from coveredFrom_ to coveredTo_ are used or taken: carry on after them.
  if (haveCovered_ && candidate >= coveredFrom_ && candidate <= coveredTo_ + 1) {
    coveredTo_ = std::max(candidate, coveredTo_ + 1);
    return coveredTo_;
  }
  coveredFrom_ = coveredTo_ = candidate;
  haveCovered_ = true;
  return candidate;
}

std::optional<std::filesystem::path> SpoolWriter::WriteOffLock(std::int32_t command,
                                                               ByteView payload) {
  const DateTime now = clock_.Now();
  const Bytes content = EncodeSpoolFile(command, payload);
  std::unique_lock lock(mutex_);
  std::string name;
  bool waiting = false;
  for (const Pending& p : pending_) waiting = waiting || !p.inFlight;
  if (!waiting) {
    std::uint32_t candidate = SpoolFileNumber(now);
    for (int round = 0; round < 2; ++round) {
      bool blocked = false;  // a failure other than a taken name
      for (std::uint32_t probe = 0; probe < kMaxNameProbes && !blocked; ++probe) {
        const std::uint32_t from = coveredFrom_, to = coveredTo_;
        const bool had = haveCovered_;
        const std::uint32_t n = ReserveLocked(candidate);
        candidate = n + 1;
        const std::string baseName = SpoolNumberText(n);
        name = location_.FileFor(baseName).string();
        lock.unlock();
        bool nameTaken = false;
        const bool written = TryWriteAs(baseName, content, &nameTaken);
        lock.lock();
        if (written) {
          const std::uint64_t failed = failedWrites_;
          failedWrites_ = 0;
          lock.unlock();
          if (failed > 0) {
            log_.Report("Запись событий в файлы восстановлена; событий, не записанных сразу: " +
                        std::to_string(failed) + ".");
          }
          const std::filesystem::path final = location_.FileFor(baseName);
          if (onWritten_) onWritten_(final);
          return final;
        }
        if (!nameTaken) {
          blocked = true;
          // The name is free after all: the next write tries it again.
          if (haveCovered_ && coveredTo_ == n)
            std::tie(coveredFrom_, coveredTo_, haveCovered_) = std::tuple(from, to, had);
        }
      }
      if (!blocked || round > 0) break;
      // A missing folder is made (with its parents), then the names are tried again.
      lock.unlock();
      const bool made = !fs_.Exists(location_.dir) && fs_.CreateDirectories(location_.dir);
      lock.lock();
      if (!made) break;
      candidate = SpoolFileNumber(now);
    }
  }
  const std::string told = KeepLocked(command, payload, now, name);
  lock.unlock();
  if (!told.empty()) log_.Report(told);
  return std::nullopt;
}

void SpoolWriter::RetryPending(LinkPort* link) {
  std::lock_guard retry(retryMutex_);
  for (;;) {
    const bool online = link != nullptr && link->IsOnline();
    std::unique_lock lock(mutex_);
    if (pending_.empty()) return;
    if (!online) {
      FlushPendingLocked();
      return;
    }
    Pending& front = pending_.front();
    front.inFlight = true;
    const std::uint64_t id = front.id;
    const std::int32_t command = front.command;
    const Bytes payload = front.payload;
    lock.unlock();
    // The link takes its own locks: ours is not held meanwhile.
    const bool accepted = link->AddPacket(command, payload);
    lock.lock();
    auto it = pending_.begin();
    while (it != pending_.end() && it->id != id) ++it;
    if (it == pending_.end()) continue;  // cannot happen: only this call removes entries
    if (accepted) {
      pending_.erase(it);
      continue;
    }
    it->inFlight = false;
    if (!WriteFileLocked(it->command, it->payload, it->firstTried, nullptr)) return;
    pending_.erase(it);
  }
}

std::size_t SpoolWriter::PendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

std::vector<std::string> SpoolWriter::PendingDescriptions() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  for (const Pending& p : pending_) {
    const std::optional<EventRecord> r =
        p.command == cmdEvent ? DecodeEventRecord(p.payload) : std::nullopt;
    if (!r) {
      lines.push_back("пакет " + std::to_string(p.command) + " (" +
                      std::to_string(p.payload.size()) + " байт), файл " +
                      location_.FileFor(SpoolFileName(p.firstTried)).filename().string());
      continue;
    }
    char id[16];
    std::snprintf(id, sizeof id, "%06X", static_cast<unsigned>(r->TransmitterId & 0xFFFFFF));
    lines.push_back("событие " + std::string(r->EventCode.begin(), r->EventCode.end()) +
                    " передатчика " + id + ", файл " +
                    location_.FileFor(SpoolFileName(r->EventTime)).filename().string());
  }
  return lines;
}

void SpoolWriter::FlushPendingLocked() {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->inFlight) {
      ++it;
      continue;
    }
    if (!WriteFileLocked(it->command, it->payload, it->firstTried, nullptr)) return;
    it = pending_.erase(it);
  }
}

std::optional<std::filesystem::path> SpoolWriter::WriteFileLocked(std::int32_t command,
                                                                  ByteView payload, DateTime when,
                                                                  std::string* attemptedName) {
  const Bytes content = EncodeSpoolFile(command, payload);
  const std::uint32_t base = SpoolFileNumber(when);
  // Names from coveredFrom_ to coveredTo_ are known to be used or taken (several
  // files in one millisecond, or names that something else holds): carry on after.
  const bool covered = haveCovered_ && base >= coveredFrom_ && base <= coveredTo_;
  const std::uint32_t first = covered ? coveredTo_ + 1 : base;
  const auto cover = [&](std::uint32_t upTo) {
    if (!covered) coveredFrom_ = base;
    coveredTo_ = upTo;
    haveCovered_ = true;
  };
  for (int round = 0; round < 2; ++round) {
    bool blocked = false;  // a failure other than a taken name
    std::uint32_t n = first;
    for (std::uint32_t probe = 0; probe < kMaxNameProbes && !blocked; ++probe, ++n) {
      const std::string baseName = SpoolNumberText(n);
      if (attemptedName != nullptr) *attemptedName = location_.FileFor(baseName).string();
      bool nameTaken = false;
      if (TryWriteAs(baseName, content, &nameTaken)) {
        cover(n);
        if (failedWrites_ > 0) {
          log_.Report("Запись событий в файлы восстановлена; событий, не записанных сразу: " +
                      std::to_string(failedWrites_) + ".");
          failedWrites_ = 0;
        }
        const std::filesystem::path final = location_.FileFor(baseName);
        if (onWritten_) onWritten_(final);
        return final;
      }
      blocked = !nameTaken;
    }
    // Every name tried was taken: the next attempt goes on after them.
    if (!blocked) cover(n - 1);
    // A missing folder is made (with its parents), then the names are tried again.
    if (!blocked || round > 0 || fs_.Exists(location_.dir) ||
        !fs_.CreateDirectories(location_.dir)) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

bool SpoolWriter::TryWriteAs(const std::string& baseName, ByteView content, bool* nameTaken) {
  const std::filesystem::path final = location_.FileFor(baseName);
  std::filesystem::path temp = final;
  temp += kTempSuffix;
  // Taken by anything at all: a file, a folder, a link even if it leads nowhere.
  // Nothing is ever written through a link; the rename below never replaces either.
  if (fs_.Exists(final) || fs_.Exists(temp)) {
    *nameTaken = true;
    return false;
  }
  if (flusher_ != nullptr) {
    // No flush here: the flusher makes the data and both names durable in a group.
    if (!fs_.WriteNew(temp, content, /*durable=*/false)) return false;
    if (fs_.RenameNoFlush(temp, final)) {
      flusher_->FileWritten(final);
      return true;
    }
  } else {
    if (!fs_.WriteNew(temp, content, /*durable=*/true)) return false;
    if (fs_.RenameNoReplace(temp, final)) return true;
  }
  fs_.Remove(temp);
  *nameTaken = fs_.Exists(final);
  return false;
}

void SpoolWriter::RecoverAtStartup() {
  std::lock_guard lock(mutex_);
  const std::string tempEnd = std::string(".dd8") + kTempSuffix;
  for (const DirEntry& entry : fs_.List(location_.dir)) {
    if (!entry.regular || !EndsWith(entry.name, tempEnd) ||
        entry.name.compare(0, location_.namePrefix.size(), location_.namePrefix) != 0) {
      continue;
    }
    const std::filesystem::path temp = location_.dir / PathFromUtf8(entry.name);
    const std::optional<Bytes> content = fs_.ReadAll(temp);
    if (content && IsCompleteEventFile(*content)) {
      // The name it was meant to have, or the next free one.
      const std::string stem =
          entry.name.substr(location_.namePrefix.size(),
                            entry.name.size() - location_.namePrefix.size() - tempEnd.size());
      const std::optional<std::uint32_t> meant = ParseSpoolNumber(stem);
      std::uint32_t n = meant ? *meant : SpoolFileNumber(clock_.Now());
      bool done = false;
      for (std::uint32_t probe = 0; probe < kMaxNameProbes && !done; ++probe, ++n) {
        const std::filesystem::path final = location_.FileFor(SpoolNumberText(n));
        if (fs_.Exists(final)) continue;
        if (fs_.RenameNoReplace(temp, final)) {
          log_.Report("Файл события " + temp.string() + " восстановлен как " + final.string() +
                      ".");
          done = true;
        } else if (!fs_.Exists(final)) {
          break;
        }
      }
      if (done) continue;
    }
    // Incomplete, unreadable or impossible to rename: set aside, never deleted.
    const AsideResult aside = RenameAside(fs_, temp, {kSetAsideSuffix, "", 1, kSetAsideNames});
    if (aside.outcome == AsideResult::Outcome::Renamed) {
      log_.Report("Неполный файл события " + temp.string() + " отложен как " +
                  aside.aside.string() + ".");
    } else {
      log_.Report("Неполный файл события " + temp.string() + " не удалось отложить.");
    }
  }
}

}  // namespace kestrel
