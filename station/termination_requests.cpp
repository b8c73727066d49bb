#include "station/termination_requests.h"

#include <atomic>
#include <csignal>

namespace kestrel {
namespace {

std::atomic<bool> gSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnTerminationSignal(int) { gSignalled.store(true); }

constexpr int kPollMs = 100;

}  // namespace

TerminationRequests::TerminationRequests(QObject* parent) : QObject(parent) {
  poll_.setInterval(kPollMs);
  connect(&poll_, &QTimer::timeout, this, &TerminationRequests::Poll);
  poll_.start();
}

TerminationRequests::~TerminationRequests() = default;

void TerminationRequests::InstallSignalHandlers() {
  std::signal(SIGTERM, OnTerminationSignal);
  std::signal(SIGINT, OnTerminationSignal);
#ifdef SIGHUP
  // The terminal or the remote session went away: stop in order, not at once.
  std::signal(SIGHUP, OnTerminationSignal);
#endif
#ifdef SIGPIPE
  // A reader of standard error that went away must not end the program: the
  // write fails and the program goes on.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

void TerminationRequests::PollWith(QTimer& timer) {
  poll_.stop();
  connect(&timer, &QTimer::timeout, this, &TerminationRequests::Poll);
}

void TerminationRequests::Poll() {
  if (gSignalled.load()) Request();
}

void TerminationRequests::Request() {
  if (raised_) return;
  raised_ = true;
  poll_.stop();
  emit Requested();
}

}  // namespace kestrel
