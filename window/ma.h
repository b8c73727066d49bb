#pragma once

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "delivery/delivery.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/group_flusher.h"
#include "platform/tcp_client.h"
#include "platform/tick_step.h"
#include "receiver/reception.h"
#include "receiver/settings.h"
#include "window/com_port.h"
#include "window/forwarding_alarm.h"
#include "window/indicator_image.h"
#include "window/memo_operator_log.h"
#include "window/station_status.h"
#include "window/status_line.h"
#include "window/thread_watch.h"

namespace kestrel {

// The captions that are the run state of reception.
inline const QString kCaptionRunning = QStringLiteral("Остановить");
inline const QString kCaptionStopped = QStringLiteral("Запустить");

// The main window "Драйвер - Harrier". It holds the serial port, the two owners of
// the work (Reception: settings, table, lines, event rules, no-test supervision;
// Delivery: spool files, drain, event dispatch, the server link worker) and the
// widgets. It forwards the port's bytes to reception, runs the 200 ms timer (each
// owner's tick, then the status display), shows state, asks for the access code,
// reopens a port that failed, and stops the link worker at the end.
class TForm1 final : public QWidget {
  Q_OBJECT
 public:
  // What the window is built on. Tests hand in fakes; the program the real ones.
  struct Services {
    const Clock& clock;
    FileSystem& fs;
    TcpClientFactory tcpClients;    // the link worker's connections
    std::filesystem::path workDir;  // empty: the process's current directory at start
    bool startWorker = true;        // false: no link worker (events are spooled)
    // Where the station's metrics are written every 10 s and at the end; empty:
    // nowhere.
    std::filesystem::path metricsFile = {};
    // Sounds the alarm's beep; empty: the system beep.
    std::function<void()> beep = {};
    // Called on each thread at each of its signs of life, after it is noted (a
    // test hook: it may hang the thread).
    std::function<void(ThreadWatch::Thread)> onAlive = {};
  };
  static constexpr std::uint32_t kMetricsEveryMs = 10000;

  static constexpr int kClientWidth = 443;
  static constexpr int kClientHeight = 328;
  static constexpr std::uint32_t kPortRetryMs = 5000;
  static constexpr int kMemoMaxLines = 100000;

  // Builds the window and runs the start-up sequence (FormCreate).
  explicit TForm1(Services services, QWidget* parent = nullptr);
  ~TForm1() override;

  // --- handlers ---
  void FormCreate();
  void ComPort1RxChar(int Count);
  void Timer1Timer();
  void ApplicationEvents1Minimize();
  void N4Click();
  void N6Click();
  void AdvGlowButton1Click();
  void AdvGlowButton2Click();
  void AdvOfficeComboBox1Change(const QString& text);
  void AdvGlowButton28Click();
  void AdvGlowButton47Click();
  void ScanPorts();
  // The worker's synchronous requests (run on the window thread).
  void AdvanceIndicator();
  // The last step of every tick: Label1 and the station-link watchdog.
  void StatusStep();
  // After it: the forwarding alarm (banner, beep, log), the service status line and
  // the metrics file.
  void WatchStep();
  // What the station is told about the driver now.
  StationStatus CurrentStatus() const;
  // Writes the metrics file now (when one is set); false when it failed.
  bool WriteMetrics();
  // Every running thread (window loop, link worker, flusher) has shown a sign of
  // life within the last withinMs: the service watchdog may be fed.
  bool ThreadsAlive(std::uint32_t withinMs) const;
  const ForwardingAlarm& Alarm() const { return *alarm_; }

  // A request of the operating system to end (signal, end of session): shuts down
  // in order without asking for the code. Closes any open dialog first.
  void RequestShutdown();
  // After the window loop: stops the worker and waits for it for at most boundMs,
  // serving its synchronous calls meanwhile. True when it has finished.
  bool FinishWorker(int boundMs);
  // After FinishWorker: events neither on disk nor delivered (each named in the
  // log); the program's exit status is non-zero when there are any.
  std::size_t UnwrittenEvents() const;
  // Reception runs: the operator started it (or start-up did), whether or not the
  // port is open at this moment (a failed port is being reopened).
  bool Running() const { return running_; }

  // --- state ---
  bool StationLink = false;
  int ServerBarPosition = 0;
  // The link's signs of life the server indicator has shown (the status counts them).
  std::uint64_t shownSignsOfLife_ = 0;
  std::string AccessCode;
  std::filesystem::path WorkDir;

  bool Online() const;
  bool ShuttingDown() const { return shutdownDone_; }
  const MainSettings& Settings() const { return reception_->Settings(); }
  Reception& Receiving() { return *reception_; }
  Delivery& Delivering() { return *delivery_; }
  TransmitterTable& Table() { return reception_->Table(); }
  ReceiverInput& Input() { return reception_->Input(); }
  cl* Worker() { return delivery_->Worker(); }
  MemoOperatorLog& OperatorLogImpl() { return operatorLog_; }

  // --- components ---
  QLabel* CaptionText;
  QToolButton* CaptionButton;    // decorative, no action
  QToolButton* AdvGlowButton28;  // "Состояние"
  QToolButton* AdvGlowButton47;  // "Настройки"
  QStackedWidget* Notebook1;
  QWidget* PageDefault;
  QWidget* PageSetup;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label4;
  QLabel* Label5;
  QLabel* Label6;
  QLabel* Label7;
  QLabel* Label8;
  QLabel* Label9;
  QLabel* LabelSpool;  // events waiting on disk for the server
  IndicatorImage* Image1;
  IndicatorImage* Image2;
  IndicatorImage* Image3;
  QPlainTextEdit* Memo1;
  QGroupBox* AdvGroupBox1;
  QComboBox* AdvOfficeComboBox1;
  QPushButton* AdvGlowButton2;  // start/stop
  QPushButton* AdvGlowButton1;  // rescan
  ComPort* ComPort1;
  QTimer* Timer1;
  QSystemTrayIcon* TrayIcon1;
  QMenu* PopupMenu1;
  QAction* N4;                // "Восстановить"
  QAction* N6;                // "Закрыть"
  QWidget* AlarmBanner;       // red, over the caption strip, while the alarm is on
  QLabel* AlarmText;          // its one line
  QPushButton* AlarmSilence;  // "Без звука": silences this occurrence

 signals:
  // The close went ahead: the window loop may end.
  void CloseAccepted();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void BuildWindow();
  void BuildCaptionStrip();
  void BuildToolBand();
  void BuildStatusPage();
  void BuildSetupPage();
  void BuildTrayIcon();
  void StartUpOpen();
  void SetRunningControls(bool running, bool rescanEnabled);
  bool OpenPort();
  void OnPortFailed(const QString& reason);
  void RetryPort();
  void Shutdown();
  void Tell(const QString& text);
  void Note(const QString& line);
  void BuildAlarmBanner();
  void ShowAlarm();
  void Alive(ThreadWatch::Thread t);

  Services services_;
  ThreadWatch watch_;
  MemoOperatorLog operatorLog_;
  // Flushes spool files and then num.mmm in groups, off the window thread.
  std::unique_ptr<GroupFlusher> flusher_;
  std::unique_ptr<Reception> reception_;
  std::unique_ptr<Delivery> delivery_;
  std::unique_ptr<TickStep> statusStep_;
  bool running_ = false;

  // A port that failed while reception ran is reopened every 5 s (monotonic tick).
  bool portFailed_ = false;
  std::uint32_t lastPortTryTick_ = 0;
  bool osShutdown_ = false;    // the operating system asked to end
  bool shutdownDone_ = false;  // port closed and worker told to stop
  bool finished_ = false;      // the worker has ended and the spool is settled

  std::unique_ptr<ForwardingAlarm> alarm_;
  std::unique_ptr<TickStep> watchStep_;
  StatusLineThrottle statusLine_;
  std::string serverText_;  // "address:port" of the settings at start-up
  std::optional<std::uint32_t> offlineSinceTick_;
  std::optional<std::uint32_t> metricsTick_;  // last write of the metrics file
  bool metricsFailing_ = false;
};

}  // namespace kestrel
