// window-probe: shows the program's dialogs and the failure box on a real display,
// as the program makes them, and prints each window's id with the caption it must
// carry, so a script can read what the window system received.
//   window-probe --captions      access code dialog, message dialog, failure box
//   window-probe --message TEXT  ShowMes(TEXT), the message dialog as the program shows it
// Each line: "<window id, hex>\t<expected caption>". The program ends after
// --seconds N (default 20) or when it is terminated.
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "window/admshowmes.h"
#include "window/kestrel_application.h"
#include "window/pasx.h"

namespace {

using namespace kestrel;

void Print(const QWidget& w, const QString& caption) {
  std::printf("0x%llx\t%s\n", static_cast<unsigned long long>(w.winId()),
              caption.toUtf8().constData());
  std::fflush(stdout);
}

int Usage() {
  std::fprintf(stderr, "usage: window-probe (--captions | --message TEXT) [--seconds N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool captions = false;
  QString message;
  int seconds = 20;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--captions") == 0) {
      captions = true;
    } else if (std::strcmp(argv[i], "--message") == 0 && hasValue) {
      message = QString::fromUtf8(argv[++i]);
    } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
      seconds = std::atoi(argv[++i]);
    } else {
      return Usage();
    }
  }
  if (captions == !message.isEmpty() || seconds <= 0) return Usage();

  KestrelApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("drvkestrel"));
  QGuiApplication::setQuitOnLastWindowClosed(false);
  QTimer::singleShot(seconds * 1000, &app, [] { std::_Exit(0); });

  TForm2 form2;
  form2.SetAccessCode("12345");
  Tadvsm messages;

  if (captions) {
    QTimer::singleShot(0, &app, [&] {
      form2.SetModalRunner([&](QDialog& d) {
        d.show();
        Print(d, QStringLiteral("Закрытый доступ"));
        QTimer::singleShot(0, &app, [&] {
          messages.SetModalRunner([&](QDialog& m) {
            m.show();
            Print(m, QStringLiteral("advsm"));
            app.ReportFailure(QStringLiteral("Unable to write to /x/drvkestrel.ini"));
            for (QWidget* w : QApplication::topLevelWidgets()) {
              if (qobject_cast<QMessageBox*>(w) != nullptr && w->isVisible())
                Print(*w, KestrelApplication::Title());
            }
            return m.exec();
          });
          ShowMes(QStringLiteral("Не правильный пароль."));
        });
        return d.exec();
      });
      form2.Ask();
    });
  } else {
    QTimer::singleShot(0, &app, [&] {
      messages.SetModalRunner([&](QDialog& m) {
        m.show();
        Print(m, QStringLiteral("advsm"));
        return m.exec();
      });
      ShowMes(message);
    });
  }
  return app.exec();
}
