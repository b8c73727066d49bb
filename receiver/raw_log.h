#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"

namespace kestrel {

inline constexpr char kRawLogFileName[] = "drvkestrel.log";

// The raw log is rotated by size so that it cannot fill the disk it shares with
// the spool files: before a write would take the file past maxBytes, the file
// becomes drvkestrel.log.1, the older ones move up by one (.1 -> .2 ...), and the
// oldest beyond `keep` is deleted. Rotation happens between writes, so every
// write lands whole in one file.
struct RawLogRotation {
  std::uint64_t maxBytes = 64ull * 1024 * 1024;
  int keep = 3;  // old files kept beside the current one
};

// The optional raw log of serial input: every received byte appended exactly as it
// came, nothing added. A failure to write is reported to the operator once per run
// of failures (again only after a success and a new failure), and never stops the
// caller from going on with the bytes.
class RawLog {
 public:
  RawLog(std::filesystem::path path, FileSystem& fs, OperatorLog& log,
         RawLogRotation rotation = {});

  // Appends the bytes at the end of the file, creating it when missing, after a
  // rotation when the file is full. False when the write failed; the first failure
  // and the first success after failures are told. Throws only when out of memory.
  bool Append(ByteView bytes);

  const std::filesystem::path& Path() const { return path_; }
  bool Failing() const { return failing_; }
  // The name of the n-th old file (1 is the newest).
  std::filesystem::path OldPath(int n) const;

 private:
  void RotateIfFull(std::uint64_t incoming);
  std::uint64_t CurrentSize();

  std::filesystem::path path_;
  std::string name_;  // of the file, for the operator
  FileSystem& fs_;
  OperatorLog& log_;
  RawLogRotation rotation_;
  bool failing_ = false;
  std::optional<std::uint64_t> size_;  // the file's size as last known; nullopt: ask the disk
};

}  // namespace kestrel
