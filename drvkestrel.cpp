// Program entry: the station, then either the three windows in their order (main
// window, access code dialog, message dialog) and the window loop, or, without a
// display, a core application that only ticks the station; an orderly end.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSessionManager>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "platform/operator_log.h"
#include "platform/qt_tcp_client.h"
#include "platform/service_notifier.h"
#include "platform/standard_streams.h"
#include "station/station.h"
#include "station/termination_requests.h"
#include "window/admshowmes.h"
#include "window/kestrel_application.h"
#include "window/ma.h"
#include "window/pasx.h"

namespace {

// The longest network wait of the worker is 2.5 s; give it a little more.
constexpr int kWorkerStopBoundMs = 4000;

bool NoDisplay() {
  return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
         qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// The platform the window toolkit would use: the -platform option, else
// QT_QPA_PLATFORM; empty when neither names one.
std::string ChosenPlatform(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-platform" || a == "--platform") return argv[i + 1];
  }
  return qEnvironmentVariable("QT_QPA_PLATFORM").toStdString();
}

// A platform that shows nothing: the station runs without any widget.
bool ShowsNothing(const std::string& platform) {
  const std::string name = platform.substr(0, platform.find(':'));
  return name == "offscreen" || name == "minimal";
}

// Messages of the window toolkit itself go the same way as the program's own lines,
// so that under the journal they carry a priority too.
void ToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  using kestrel::LogPriority;
  LogPriority priority = LogPriority::Info;
  switch (type) {
    case QtDebugMsg:
      priority = LogPriority::Debug;
      break;
    case QtInfoMsg:
      priority = LogPriority::Info;
      break;
    case QtWarningMsg:
      priority = LogPriority::Warning;
      break;
    case QtCriticalMsg:
    case QtFatalMsg:
      priority = LogPriority::Error;
      break;
  }
  kestrel::WriteLogLine(priority, qFormatLogMessage(type, context, text).toStdString());
}

// Test hook: with DRVKESTREL_TEST_HANG_AFTER_MS set, a thread of the program hangs
// that long after start-up, as a call that never returns would, so a test can see
// the watchdog keep-alive stop. DRVKESTREL_TEST_HANG_THREAD names the thread:
// "window" (the default: the event loop stops being served), "link" (the server
// link worker) or "flusher". Never set in normal use.
int HangAfterMs() {
  bool ok = false;
  const int ms = qEnvironmentVariableIntValue("DRVKESTREL_TEST_HANG_AFTER_MS", &ok);
  return ok ? ms : -1;
}

QString HangThread() {
  const QString name = qEnvironmentVariable("DRVKESTREL_TEST_HANG_THREAD");
  return name.isEmpty() ? QStringLiteral("window") : name;
}

// The hook for the link worker and the flusher: called at each of their signs of
// life; hangs the named one once its time has come.
std::function<void(kestrel::ThreadWatch::Thread)> MakeWorkerHangHook() {
  using kestrel::ThreadWatch;
  const int ms = HangAfterMs();
  const QString name = HangThread();
  if (ms < 0 || name == QLatin1String("window")) return {};
  const ThreadWatch::Thread which =
      name == QLatin1String("flusher") ? ThreadWatch::Flusher : ThreadWatch::Link;
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  const std::string label = name.toStdString();
  return [which, due, label](ThreadWatch::Thread t) {
    if (t != which || std::chrono::steady_clock::now() < due) return;
    std::fprintf(stderr, "drvkestrel: test hook: %s thread blocked\n", label.c_str());
    std::fflush(stderr);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  };
}

void ArmHangHook(QObject* context) {
  const int ms = HangAfterMs();
  if (ms < 0 || HangThread() != QLatin1String("window")) return;
  QTimer::singleShot(ms, context, [] {
    std::fprintf(stderr, "drvkestrel: test hook: event loop blocked\n");
    std::fflush(stderr);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  });
}

// The service manager's watchdog is fed from the window thread's own timer, and
// only while the link worker and the flusher have each shown a sign of life within
// the watchdog interval too: when any of them hangs, the keep-alive stops and the
// service gets restarted.
void StartWatchdogPing(QTimer& timer, const kestrel::Station& station) {
  using namespace kestrel;
  const auto interval = service_notifier::WatchdogInterval();
  if (interval.count() <= 0) return;
  const auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(interval);
  const auto within =
      static_cast<std::uint32_t>(std::clamp<long long>(whole.count(), 1, 3'600'000));
  timer.setInterval(static_cast<int>(std::clamp<long long>(whole.count() / 2, 1, 60'000)));
  QObject::connect(&timer, &QTimer::timeout, [&station, within] {
    if (station.ThreadsAlive(within)) service_notifier::Watchdog();
  });
  timer.start();
}

// Applies the command line: nullopt to go on running, else the exit status.
std::optional<int> ApplyCommandLine(const kestrel::CommandLine& cmd,
                                    std::filesystem::path& metricsFile) {
  using namespace kestrel;
  switch (cmd.action) {
    case CommandLine::Action::PrintVersion:
      std::printf("%s\n", VersionLine().c_str());
      return 0;
    case CommandLine::Action::PrintHelp:
      std::printf("%s", HelpText().c_str());
      return 0;
    case CommandLine::Action::Usage:
      std::fprintf(stderr, "drvkestrel: %s\nTry 'drvkestrel --help'.\n", cmd.error.c_str());
      return kUsageExitStatus;
    case CommandLine::Action::Run:
      break;
  }
  // A metrics file named relative to where the program was started.
  if (!cmd.metricsFile.empty()) {
    std::error_code ec;
    metricsFile = std::filesystem::absolute(std::filesystem::path(cmd.metricsFile), ec);
    if (ec) metricsFile = cmd.metricsFile;
  }
  if (!cmd.workDir.empty()) {
    std::error_code ec;
    std::filesystem::current_path(std::filesystem::path(cmd.workDir), ec);
    if (ec) {
      std::fprintf(stderr, "drvkestrel: cannot work in %s: %s\n", cmd.workDir.c_str(),
                   ec.message().c_str());
      return 1;
    }
  }
  return std::nullopt;
}

int Run(int argc, char** argv) {
  using namespace kestrel;
  EnsureStandardStreams();
  // Before the first line is written: a reader of standard error that is gone
  // must not end the program, and SIGHUP must stop it in order.
  TerminationRequests::InstallSignalHandlers();
  const CommandLine cmd =
      ParseCommandLine(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  std::filesystem::path metricsFile;
  if (const auto status = ApplyCommandLine(cmd, metricsFile)) return *status;

  // One driver per working folder: a second one would fight the first over the
  // server connection, the serial port and the spool files.
  std::string why;
  const auto lock = InstanceLock::TryAcquire(kInstanceLockFileName, why);
  if (!lock) {
    std::error_code ec;
    const auto here = std::filesystem::current_path(ec);
    WriteLogLine(LogPriority::Error, "drvkestrel: " + why + ": " + here.string() + "; exiting");
    return 1;
  }

  qInstallMessageHandler(ToolkitMessage);
  bool headless = ShowsNothing(ChosenPlatform(argc, argv));
  if (!cmd.displayChosen && NoDisplay()) {
    WriteLogLine(LogPriority::Info, "drvkestrel: no display, running without a window");
    headless = true;
  }
  std::unique_ptr<QCoreApplication> app;
  if (headless)
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<KestrelApplication>(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("drvkestrel"));

  TerminationRequests termination;
  QObject::connect(&termination, &TerminationRequests::Requested,
                   [] { service_notifier::Stopping(); });

  SystemClock clock;
  DiskFileSystem files;
  StationServices services{clock, files, MakeQtTcpClientFactory()};
  services.metricsFile = metricsFile;
  services.onAlive = MakeWorkerHangHook();
  Station station(std::move(services));

  // The window, only where there is something to show it on.
  std::unique_ptr<TForm1> form1;
  std::unique_ptr<TForm2> form2;
  std::unique_ptr<Tadvsm> messages;
  QTimer ticks;  // without a window: the station's 200 ms tick
  if (!headless) {
    // The program ends when a close of the main window goes ahead, not when the last
    // visible window goes (the main window may be hidden in the notification area).
    QGuiApplication::setQuitOnLastWindowClosed(false);
    // The end of the desktop session is a request of the system too.
    QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest, &termination,
                     [&termination](QSessionManager&) { termination.Request(); });
    form1 = std::make_unique<TForm1>(station);
    form2 = std::make_unique<TForm2>();
    form2->SetAccessCode(form1->AccessCode);
    messages = std::make_unique<Tadvsm>();
    TForm1* form = form1.get();
    QObject::connect(&termination, &TerminationRequests::Requested, form,
                     [form] { RunGuarded([form] { form->RequestShutdown(); }); });
    QObject::connect(form, &TForm1::CloseAccepted, app.get(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(form, &TForm1::CloseAccepted, [] { service_notifier::Stopping(); });
    form1->show();
    termination.PollWith(*form1->Timer1);
  } else {
    ticks.setInterval(200);
    QObject::connect(&ticks, &QTimer::timeout, [&station] { station.Tick(); });
    ticks.start();
    termination.PollWith(ticks);
    QObject::connect(&termination, &TerminationRequests::Requested, app.get(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
  }

  QTimer watchdog;
  StartWatchdogPing(watchdog, station);
  // Ready once the loop serves events: start-up has finished by then.
  QTimer::singleShot(0, app.get(), [] { service_notifier::Ready(); });
  ArmHangHook(app.get());
  app->exec();
  watchdog.stop();
  ticks.stop();

  // The port is closed, the worker spools what it still holds and ends, the
  // flusher writes what waits. Events that could not be written anywhere make
  // the exit status non-zero (the log names them).
  const bool finished = station.Shutdown(kWorkerStopBoundMs);
  station.WriteMetrics();  // the figures at the end
  const int status = station.UnwrittenEvents() > 0 ? 1 : 0;
  if (!finished) {
    std::fprintf(stderr, "drvkestrel: the server link did not stop in time; exiting\n");
    std::fflush(stderr);
    std::_Exit(status);
  }
  form1.reset();
  return status;
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
