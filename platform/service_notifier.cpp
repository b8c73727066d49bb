#include "platform/service_notifier.h"

#ifdef KESTREL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

#include <cstdint>
#endif

namespace kestrel::service_notifier {

#ifdef KESTREL_HAVE_SYSTEMD

bool Supported() { return true; }
bool Ready() { return sd_notify(0, "READY=1") > 0; }
bool Watchdog() { return sd_notify(0, "WATCHDOG=1") > 0; }
bool Stopping() { return sd_notify(0, "STOPPING=1") > 0; }
bool Status(const std::string& line) {
  // One line: a line feed would start another assignment.
  std::string text = "STATUS=" + line;
  for (char& c : text)
    if (c == '\n') c = ' ';
  return sd_notify(0, text.c_str()) > 0;
}

std::chrono::microseconds WatchdogInterval() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(static_cast<std::int64_t>(usec));
}

#else

bool Supported() { return false; }
bool Ready() { return false; }
bool Watchdog() { return false; }
bool Stopping() { return false; }
bool Status(const std::string&) { return false; }
std::chrono::microseconds WatchdogInterval() { return std::chrono::microseconds(0); }

#endif

}  // namespace kestrel::service_notifier
