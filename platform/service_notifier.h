#pragma once

#include <chrono>
#include <string>

namespace kestrel {

// Messages to the service manager that started the program (readiness, the
// watchdog's keep-alive, stopping). Each call does nothing and returns false
// when the program was not started as such a service, or was built without
// support for it (KESTREL_HAVE_SYSTEMD); the rest of the program never needs to
// know which.
namespace service_notifier {

// Whether the support is built in at all.
bool Supported();
// Start-up is complete: the service counts as started.
bool Ready();
// The program is alive; expected more often than WatchdogInterval().
bool Watchdog();
// An orderly stop has begun.
bool Stopping();
// One line of what the program is doing, shown by the service manager's status.
bool Status(const std::string& line);
// The interval within which the service manager expects Watchdog(); zero when it
// expects none.
std::chrono::microseconds WatchdogInterval();

}  // namespace service_notifier
}  // namespace kestrel
