#pragma once

#include <QApplication>
#include <QString>
#include <functional>

namespace kestrel {

// The application object. A failure (exception) that no handler caught is caught
// here, at the event dispatch, so it never crosses the window loop: its text goes
// to standard error and into a message box (not modal, one per distinct text at a
// time), and the program carries on. This is where, for example, "Unable to write
// to ..." from a failed save of the port name appears.
class KestrelApplication final : public QApplication {
  Q_OBJECT
 public:
  KestrelApplication(int& argc, char** argv);

  // The application's title, "Драйвер Kestrel": the caption of the failure box.
  // It is not made the display name: the window system would append a display
  // name to the caption of every window.
  static QString Title();

  bool notify(QObject* receiver, QEvent* event) override;

  // How a caught failure is shown; tests replace it. An empty report brings back
  // the message box.
  using FailureReport = std::function<void(const QString& text)>;
  void SetFailureReport(FailureReport report);

  // Shows a failure's text as the application does for uncaught failures.
  void ReportFailure(const QString& text);

 private:
  void ShowFailureBox(const QString& text);

  FailureReport report_;
};

// Runs a handler of the window. A failure that escapes it goes to the
// application's report of unhandled failures (never across the window loop).
void RunGuarded(const std::function<void()>& handler);

}  // namespace kestrel
