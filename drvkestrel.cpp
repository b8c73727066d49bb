// Program entry: the application, the three windows in their order (main window,
// access code dialog, message dialog), the window loop, and an orderly end.
#include <QCoreApplication>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/qt_tcp_client.h"
#include "window/admshowmes.h"
#include "window/kestrel_application.h"
#include "window/ma.h"
#include "window/pasx.h"
#include "window/termination_requests.h"

namespace {

// The longest network wait of the worker is 2.5 s; give it a little more.
constexpr int kWorkerStopBoundMs = 4000;

bool NoDisplay() {
  return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
         qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

int Run(int argc, char** argv) {
  using namespace kestrel;
  if (NoDisplay()) {
    std::fprintf(stderr, "drvkestrel: no display, running without a window (offscreen)\n");
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  KestrelApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("drvkestrel"));
  // The program ends when a close of the main window goes ahead, not when the last
  // visible window goes (the main window may be hidden in the notification area).
  QGuiApplication::setQuitOnLastWindowClosed(false);

  TerminationRequests termination;
  termination.InstallSignalHandlers();

  SystemClock clock;
  DiskFileSystem files;
  TForm1 form1(TForm1::Services{clock, files, MakeQtTcpClientFactory(), {}, true});
  TForm2 form2;
  form2.SetAccessCode(form1.AccessCode);
  Tadvsm messages;

  QObject::connect(&termination, &TerminationRequests::Requested, &form1,
                   [&form1] { RunGuarded([&form1] { form1.RequestShutdown(); }); });
  QObject::connect(&form1, &TForm1::CloseAccepted, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);

  form1.show();
  app.exec();

  // The worker spools what it still holds and ends; its last calls to the window
  // are served meanwhile.
  if (!form1.FinishWorker(kWorkerStopBoundMs)) {
    std::fprintf(stderr, "drvkestrel: the server link did not stop in time; exiting\n");
    std::fflush(stderr);
    std::_Exit(0);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "drvkestrel: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "drvkestrel: unknown failure\n");
  }
  return 1;
}
