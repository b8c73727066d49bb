// window-shot: runs the operator window exactly as the program does (same
// start-up in the current directory, real serial port, real server link), lets it
// work for a while, then saves pictures of its status page and its setup page and
// ends in order. Used by scripts/screenshots under a virtual display.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/qt_tcp_client.h"
#include "station/station.h"
#include "window/admshowmes.h"
#include "window/kestrel_application.h"
#include "window/ma.h"
#include "window/pasx.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: window-shot --status FILE.png --setup FILE.png [--wait-ms N]\n"
               "Runs the operator window in the current directory for N ms (default 4000),\n"
               "then saves its status page and its setup page.\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrel;
  std::string statusFile;
  std::string setupFile;
  int waitMs = 4000;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--status") == 0 && hasValue) {
      statusFile = argv[++i];
    } else if (std::strcmp(argv[i], "--setup") == 0 && hasValue) {
      setupFile = argv[++i];
    } else if (std::strcmp(argv[i], "--wait-ms") == 0 && hasValue) {
      waitMs = std::atoi(argv[++i]);
    } else {
      Usage();
      return 2;
    }
  }
  if (statusFile.empty() || setupFile.empty() || waitMs < 0) {
    Usage();
    return 2;
  }

  KestrelApplication app(argc, argv);
  QGuiApplication::setQuitOnLastWindowClosed(false);
  SystemClock clock;
  DiskFileSystem files;
  Station station(StationServices{clock, files, MakeQtTcpClientFactory()});
  TForm1 form1(station);
  TForm2 form2;
  form2.SetAccessCode(form1.AccessCode);
  Tadvsm messages;
  QObject::connect(&form1, &TForm1::CloseAccepted, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  form1.show();

  int result = 0;
  QTimer::singleShot(waitMs, &form1, [&] {
    if (!form1.grab().save(QString::fromStdString(statusFile))) result = 1;
    form1.AdvGlowButton47Click();
    QCoreApplication::processEvents();
    if (!form1.grab().save(QString::fromStdString(setupFile))) result = 1;
    form1.RequestShutdown();
  });
  app.exec();
  station.Shutdown(4000);
  if (result != 0) std::fprintf(stderr, "window-shot: a picture could not be saved\n");
  return result;
}
