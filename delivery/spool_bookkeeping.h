#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/bytes.h"
#include "platform/file_system.h"

namespace kestrel {

// The spool bookkeeping shared by the spool drain (window thread) and the link
// worker (its own thread), all under one mutex:
//  - LastSpoolSend: the monotonic tick at which the drain last handed a file to
//    the worker, or nothing ("long ago": the next file may go at once). The worker
//    resets it when a connection is established and when it settles an
//    acknowledged file.
//  - LastSpoolFile: the full name of the file last handed over.
//  - per file: when it was last handed over (as an ever-growing order number, so
//    the least recently handed over file goes first), consecutive read failures,
//    and the files treated as delivered or set aside for the rest of the run.
class SpoolBookkeeping {
 public:
  std::optional<std::uint32_t> LastSpoolSend() const;
  std::filesystem::path LastSpoolFile() const;

  // --- worker side ---

  // A connection is established: the next file may go at the next tick.
  void ResetLastSpoolSend();

  enum class AckOutcome {
    Deleted,           // the file was deleted; LastSpoolSend reset
    Missing,           // no such file any more; nothing changed
    NotTheSameFile,    // a file of that name holds other content now; left alone
    Undeletable,       // could not be deleted: treated as delivered from now on
                       // (reported by the caller; returned once per file)
    AlreadyDelivered,  // an earlier acknowledgement settled it already
  };
  // The server acknowledged the block that carried `file`, whose content was
  // `content` (4-byte command + payload). Checks, deletes and resets together.
  AckOutcome Acknowledge(FileSystem& files, const std::filesystem::path& file, ByteView content);

  // --- drain side ---

  // 0 for a file never handed over; otherwise larger for a later hand-over.
  std::uint64_t HandOverOrder(const std::filesystem::path& file) const;
  // Delivered (undeletable) or set aside: never handed over again in this run.
  bool IsSettled(const std::filesystem::path& file) const;
  // Counts one more failed read in a row; returns the count.
  int NoteReadFailure(const std::filesystem::path& file);
  void NoteReadSuccess(const std::filesystem::path& file);
  // The file was set aside (or could not even be renamed): skip it from now on.
  void NoteSetAside(const std::filesystem::path& file);

  // Records a hand-over before the packet is queued: LastSpoolFile, LastSpoolSend
  // and the file's order. Undo puts everything back when the link refused it.
  struct HandOver {
    std::filesystem::path file;
    std::optional<std::uint32_t> previousSend;
    std::filesystem::path previousFile;
    std::uint64_t previousOrder = 0;
  };
  HandOver BeginHandOver(const std::filesystem::path& file, std::uint32_t tick);
  void UndoHandOver(const HandOver& h);

  // Forgets what is remembered of files that are no longer listed.
  void ForgetAllBut(const std::set<std::filesystem::path>& present);

 private:
  struct FileMemo {
    std::uint64_t order = 0;
    int readFailures = 0;
  };

  mutable std::mutex mutex_;
  std::optional<std::uint32_t> lastSpoolSend_;
  std::filesystem::path lastSpoolFile_;
  std::uint64_t nextOrder_ = 1;
  std::map<std::filesystem::path, FileMemo> memo_;
  std::set<std::filesystem::path> settled_;
};

}  // namespace kestrel
