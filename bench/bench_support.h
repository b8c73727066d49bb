#pragma once

// Small pieces the benchmarks share: a scratch folder on the real disk and an
// operator log that keeps nothing.

#include <string>

#include "platform/operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel::bench {

// The scratch folder on the real disk: the tests' temporary folder, under a name
// of its own.
class ScratchDir final : public test::TempDir {
 public:
  ScratchDir() : TempDir("kestrel-bench") {}
};

class SilentLog final : public OperatorLog {
 public:
  void Report(const std::string&) noexcept override {}
};

}  // namespace kestrel::bench
