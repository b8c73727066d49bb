#pragma once

#include <filesystem>

#include "platform/bytes.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"

namespace kestrel {

inline constexpr char kRawLogFileName[] = "drvkestrel.log";

// The optional raw log of serial input: every received byte appended exactly as it
// came, nothing added. A failure to write is reported to the operator once per run
// of failures (again only after a success and a new failure), and never stops the
// caller from going on with the bytes.
class RawLog {
 public:
  RawLog(std::filesystem::path path, FileSystem& fs, OperatorLog& log);

  // Appends the bytes at the end of the file, creating it when missing. False when
  // the write failed. Never throws.
  bool Append(ByteView bytes);

  const std::filesystem::path& Path() const { return path_; }
  bool Failing() const { return failing_; }

 private:
  std::filesystem::path path_;
  FileSystem& fs_;
  OperatorLog& log_;
  bool failing_ = false;
};

}  // namespace kestrel
