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

#include "station/com_port.h"
#include "station/forwarding_alarm.h"
#include "station/station.h"
#include "window/indicator_image.h"

namespace kestrel {

// The captions that are the run state of reception.
inline const QString kCaptionRunning = QStringLiteral("Остановить");
inline const QString kCaptionStopped = QStringLiteral("Запустить");

// The main window "Драйвер - Harrier". It shows the station (indicators, labels,
// the log area, the forwarding alarm's banner and beep) and asks it what the
// operator wants: start or stop reception (stopping needs the access code), a
// rescan of the ports, another port name. The station does the work and ticks
// from the window's 200 ms timer; each tick redraws only what changed.
class TForm1 final : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 443;
  static constexpr int kClientHeight = 328;
  static constexpr int kMemoMaxLines = 100000;

  // Builds the window on a station that has started and runs the start-up
  // sequence (FormCreate). `beep` sounds the alarm's beep; empty: the system beep.
  explicit TForm1(Station& station, std::function<void()> beep = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // --- handlers ---
  void FormCreate();
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
  // One step of the server indicator's bar for each of `steps` signs of life of
  // the link (drawn once).
  void AdvanceIndicator(std::uint64_t steps = 1);
  // The window's share of every tick: the labels, indicators and the alarm's
  // banner, each redrawn only when what it shows has changed.
  void StatusStep();

  // A request of the operating system to end (signal, end of session): shuts down
  // in order without asking for the code. Closes any open dialog first.
  void RequestShutdown();
  // Reception runs: the operator started it (or start-up did), whether or not the
  // port is open at this moment (a failed port is being reopened).
  bool Running() const { return station_.Running(); }

  // --- state ---
  bool StationLink = false;
  int ServerBarPosition = 0;
  std::string AccessCode;

  bool Online() const { return station_.Online(); }
  bool ShuttingDown() const { return shutdownDone_; }
  Station& TheStation() { return station_; }

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
  ComPort* ComPort1;            // the station's own port (null when it was handed one)
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
  void SetRunningControls(bool running, bool rescanEnabled);
  void Shutdown();
  void Tell(const QString& text);
  void BuildAlarmBanner();
  void ShowAlarm();
  void ShowLine(const QString& line);
  // Sets a label's text (and its size) only when it differs.
  static void SetLabel(QLabel& label, const QString& text);

  Station& station_;
  std::function<void()> beep_;
  std::unique_ptr<TickStep> statusStep_;
  bool osShutdown_ = false;    // the operating system asked to end
  bool shutdownDone_ = false;  // port closed, the loop may end
  // What the display shows now, so a tick redraws only what changed.
  std::uint64_t shownSigns_ = 0;
  bool shownOnline_ = false;
  bool shownAlarm_ = false;
  bool shownSilenced_ = false;
  std::size_t shownBacklog_ = static_cast<std::size_t>(-1);
  std::optional<std::uint32_t> shownElapsedS_;  // whole seconds in Label1
  std::string shownAddress_;                    // the server in Label2's hint
  std::int32_t shownPort_ = 0;
  std::uint64_t shownSwitches_ = 0;
};

}  // namespace kestrel
