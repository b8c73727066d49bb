#include "platform/standard_streams.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kestrel {

void EnsureStandardStreams() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null < 0) return;
    if (null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
#endif
}

}  // namespace kestrel
