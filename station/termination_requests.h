#pragma once

#include <QObject>
#include <QTimer>

namespace kestrel {

// Requests of the operating system to end the program: SIGTERM, SIGINT, SIGHUP
// (terminal or remote session closed) and the end of the desktop session. They are not an
// operator's close, so they need no access code. The signal handler only sets a flag; a short timer
// on the window thread notices it and emits Requested() once.
class TerminationRequests final : public QObject {
  Q_OBJECT
 public:
  explicit TerminationRequests(QObject* parent = nullptr);
  ~TerminationRequests() override;

  // Installs the handlers for SIGTERM, SIGINT and SIGHUP, and ignores SIGPIPE
  // (once per process). May run before any object exists: a signal that comes
  // early is noticed by the first poll.
  static void InstallSignalHandlers();
  // Polls at the timeouts of `timer` (the program's 200 ms tick) instead of a timer
  // of its own: an idle program wakes up no more often than it ticks.
  void PollWith(QTimer& timer);

  // A request that is no signal (the end of the desktop session, which the window
  // hears of): emits Requested() like a signal would, once.
  void Request();

 signals:
  void Requested();

 private:
  void Poll();

  QTimer poll_;
  bool raised_ = false;
};

}  // namespace kestrel
