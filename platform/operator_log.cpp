#include "platform/operator_log.h"

#include <cstdio>

namespace kestrel {

void StderrOperatorLog::Report(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace kestrel
