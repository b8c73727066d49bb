#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <stdexcept>

#include "station/termination_requests.h"
#include "tests/support/temp_dir.h"
#include "window/kestrel_application.h"

namespace kestrel {
namespace {

class Throwing : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw std::runtime_error("Unable to write to /x/drvkestrel.ini");
    return QObject::event(e);
  }
};

KestrelApplication& App() {
  return *qobject_cast<KestrelApplication*>(QCoreApplication::instance());
}

TEST(Application, FailureAtEventDispatchIsReportedAndTheLoopGoesOn) {
  std::vector<QString> reported;
  App().SetFailureReport([&](const QString& t) { reported.push_back(t); });
  Throwing target;
  QEvent direct(QEvent::User);
  QCoreApplication::sendEvent(&target, &direct);
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  QCoreApplication::processEvents();
  App().SetFailureReport(nullptr);
  EXPECT_EQ(reported, (std::vector<QString>{"Unable to write to /x/drvkestrel.ini",
                                            "Unable to write to /x/drvkestrel.ini"}));
}

TEST(Application, HandlerFailureGoesToTheSameReport) {
  std::vector<QString> reported;
  App().SetFailureReport([&](const QString& t) { reported.push_back(t); });
  RunGuarded([] { throw std::runtime_error("сбой"); });
  RunGuarded([] { throw 42; });
  RunGuarded([] {});
  App().SetFailureReport(nullptr);
  EXPECT_EQ(reported, (std::vector<QString>{"сбой", "Неизвестная ошибка."}));
}

TEST(Application, RepeatedFailureShowsOneBoxAtATime) {
  App().ReportFailure("одна и та же ошибка");
  App().ReportFailure("одна и та же ошибка");
  App().ReportFailure("другая ошибка");
  int boxes = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
      EXPECT_FALSE(box->isModal());  // the program carries on meanwhile
      ++boxes;
      box->close();
    }
  }
  EXPECT_EQ(boxes, 2);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(Application, TerminationSignalBecomesOneRequest) {
  TerminationRequests requests;
  QSignalSpy spy(&requests, &TerminationRequests::Requested);
  requests.InstallSignalHandlers();
  std::raise(SIGTERM);
  EXPECT_TRUE(spy.wait(2000));
  std::raise(SIGINT);
  QTest::qWait(300);
  EXPECT_EQ(spy.count(), 1);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
}

// The program itself: without a display it runs without a window by itself, and a
// SIGTERM ends it in order, with status 0, well within 5 s.
TEST(Program, RunsWithoutDisplayAndEndsInOrderOnSigterm) {
  const QString program = QStringLiteral(KESTREL_BUILD_DIR "/drvkestrel");
  if (!std::filesystem::exists(program.toStdString())) GTEST_SKIP() << "drvkestrel not built";
  test::TempDir dir;
  // A server port nobody listens on: the worker keeps trying to connect.
  test::WriteFileText(dir / "drvkestrel.ini", "[ServerHost]\r\nPort=1\r\n");
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("QT_QPA_PLATFORM");
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  p.setProcessEnvironment(env);
  p.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
  p.start(program, {});
  ASSERT_TRUE(p.waitForStarted(5000));
  // Running: the worker's first connection attempt is logged.
  QByteArray err;
  QElapsedTimer t;
  t.start();
  while (!err.contains("Соединение...") && t.elapsed() < 10000) {
    p.waitForReadyRead(200);
    err += p.readAllStandardError();
  }
  EXPECT_TRUE(err.contains("no display")) << err.toStdString();
  ASSERT_TRUE(err.contains("Соединение...")) << err.toStdString();
  t.restart();
  p.terminate();  // SIGTERM
  ASSERT_TRUE(p.waitForFinished(5000));
  EXPECT_LT(t.elapsed(), 5000);
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 0);
}

}  // namespace
}  // namespace kestrel
