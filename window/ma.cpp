#include "window/ma.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QFont>
#include <QGuiApplication>
#include <QLineEdit>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "delivery/server_host.h"
#include "platform/paths.h"
#include "platform/service_notifier.h"
#include "platform/text_1251.h"
#include "platform/version.h"
#include "window/access_code.h"
#include "window/admshowmes.h"
#include "window/kestrel_application.h"
#include "window/link_indicator.h"
#include "window/metrics_file.h"
#include "window/metrics_text.h"
#include "window/pasx.h"
#include "window/pictures.h"
#include "window/screen_placement.h"
#include "window/time_text.h"

namespace kestrel {
namespace {

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

QFont BoldFont(QFont f) {
  f.setBold(true);
  return f;
}

QToolButton* MakePageButton(QWidget* parent, const QString& text, const QPixmap& picture) {
  auto* b = new QToolButton(parent);
  b->setText(text);
  b->setIcon(QIcon(picture));
  b->setIconSize(QSize(32, 32));
  b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  b->setCheckable(true);
  b->setAutoRaise(true);
  return b;
}

}  // namespace

TForm1::TForm1(Services services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)), watch_(services_.clock.TickMs()) {
  BuildWindow();
  FormCreate();
}

TForm1::~TForm1() {
  // The worker goes first: it may still write to the window's log.
  FinishWorker(4000);
  delivery_.reset();
  reception_.reset();
  if (ComPort1 != nullptr) ComPort1->Close();
  operatorLog_.SetMemo(nullptr);
}

// ---------------------------------------------------------------------------
// The window's components

void TForm1::BuildWindow() {
  setWindowTitle(QStringLiteral("Драйвер - Harrier"));
  setWindowIcon(ProgramIcon());
  setFixedSize(kClientWidth, kClientHeight);
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  QFont f(QStringLiteral("Arial"));
  f.setStyleHint(QFont::SansSerif);
  f.setPointSize(8);
  setFont(f);

  BuildCaptionStrip();
  BuildToolBand();
  Notebook1 = new QStackedWidget(this);
  Notebook1->setObjectName(QStringLiteral("Notebook1"));
  Notebook1->setGeometry(0, 138, kClientWidth, 191);
  BuildStatusPage();
  BuildSetupPage();
  Notebook1->setCurrentWidget(PageDefault);

  ComPort1 = nullptr;  // made at start-up, once the working directory is known
  Timer1 = new QTimer(this);
  Timer1->setInterval(200);
  BuildTrayIcon();
  BuildAlarmBanner();
  operatorLog_.SetMemo(Memo1);
  CenterOnScreen(*this);
}

void TForm1::BuildCaptionStrip() {
  auto* strip = new QWidget(this);
  strip->setObjectName(QStringLiteral("CaptionStrip"));
  strip->setGeometry(0, 0, kClientWidth, 57);
  strip->setAutoFillBackground(true);
  strip->setStyleSheet(
      QStringLiteral("#CaptionStrip { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
                     "stop:0 #2c5aa0, stop:1 #173a70); }"));
  CaptionButton = new QToolButton(strip);
  CaptionButton->setIcon(QIcon(CaptionPicture()));
  CaptionButton->setIconSize(QSize(44, 44));
  CaptionButton->setAutoRaise(true);
  CaptionButton->setFocusPolicy(Qt::NoFocus);
  CaptionButton->setGeometry(6, 5, 46, 46);
  CaptionText = new QLabel(QStringLiteral("Драйвер приёмника Kestrel"), strip);
  QFont f = BoldFont(font());
  f.setPointSize(13);
  CaptionText->setFont(f);
  CaptionText->setStyleSheet(QStringLiteral("color: white;"));
  CaptionText->move(62, 17);
  CaptionText->adjustSize();
}

void TForm1::BuildToolBand() {
  auto* band = new QWidget(this);
  band->setObjectName(QStringLiteral("ToolBand"));
  band->setGeometry(0, 57, kClientWidth, 81);
  band->setAutoFillBackground(true);
  band->setStyleSheet(QStringLiteral(
      "#ToolBand { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
      "stop:0 #f4f7fb, stop:1 #dde5f0); border-bottom: 1px solid #9aaac0; }"
      "QGroupBox { border: 1px solid #b4c2d6; border-radius: 3px; margin-top: 0px; }"
      "QGroupBox::title { subcontrol-origin: border; subcontrol-position: bottom center; "
      "padding: 0px 4px 1px 4px; color: #26466e; }"
      "QToolButton:checked { background: #fbd98d; border: 1px solid #c99b3a; "
      "border-radius: 3px; }"));

  auto* statusGroup = new QGroupBox(QStringLiteral("Состояние"), band);
  statusGroup->setGeometry(5, 4, 90, 72);
  AdvGlowButton28 = MakePageButton(statusGroup, QStringLiteral("Статус"), StatusPagePicture());
  AdvGlowButton28->setGeometry(15, 3, 60, 52);
  AdvGlowButton28->setChecked(true);

  auto* setupGroup = new QGroupBox(QStringLiteral("Настройки"), band);
  setupGroup->setGeometry(100, 4, 90, 72);
  AdvGlowButton47 = MakePageButton(setupGroup, QStringLiteral("Порт"), SetupPagePicture());
  AdvGlowButton47->setGeometry(15, 3, 60, 52);

  connect(AdvGlowButton28, &QToolButton::clicked, this,
          [this] { RunGuarded([this] { AdvGlowButton28Click(); }); });
  connect(AdvGlowButton47, &QToolButton::clicked, this,
          [this] { RunGuarded([this] { AdvGlowButton47Click(); }); });
}

void TForm1::BuildStatusPage() {
  PageDefault = new QWidget(Notebook1);
  PageDefault->setObjectName(QStringLiteral("Default"));
  QWidget* p = PageDefault;
  Label4 = MakeLabel(p, QStringLiteral("Контроль связи со станцией"), 8, 11);
  Image2 = new IndicatorImage(p);
  Image2->move(158, 10);
  Label1 = MakeLabel(p, QStringLiteral("Время с последнего сообщения"), 180, 11);
  Label2 = MakeLabel(p, QStringLiteral("Связь с сервером сообщений"), 259, 11);
  Image3 = new IndicatorImage(p);
  Image3->move(416, 10);
  Label6 = new QLabel(QStringLiteral("Дата и время запуска"), p);
  Label6->setGeometry(7, 38, 111, Label6->sizeHint().height());
  Label6->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Label7 = MakeLabel(p, QString(), 124, 38);
  Label5 = MakeLabel(p, QStringLiteral("Связь с сервером сообщений"), 259, 38);
  Image1 = new IndicatorImage(p);
  Image1->move(416, 37);
  Label8 = MakeLabel(p, QStringLiteral("Пароль для закрытия"), 7, 66);
  Label9 = MakeLabel(p, QString(), 124, 66);
  LabelSpool = MakeLabel(p, QString(), 259, 66);
  LabelSpool->setObjectName(QStringLiteral("LabelSpool"));
  Memo1 = new QPlainTextEdit(p);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setGeometry(5, 85, 432, 100);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Lines are only appended. A program that runs for months while the server is
  // unreachable logs an attempt every 5 s; the oldest lines beyond this many go,
  // so the log area cannot eat the memory.
  Memo1->setMaximumBlockCount(kMemoMaxLines);
  Notebook1->addWidget(PageDefault);
}

void TForm1::BuildSetupPage() {
  PageSetup = new QWidget(Notebook1);
  PageSetup->setObjectName(QStringLiteral("setup"));
  AdvGroupBox1 = new QGroupBox(QStringLiteral("Com порт"), PageSetup);
  AdvGroupBox1->setGeometry(5, 3, 428, 62);

  AdvOfficeComboBox1 = new QComboBox(AdvGroupBox1);
  AdvOfficeComboBox1->setObjectName(QStringLiteral("AdvOfficeComboBox1"));
  AdvOfficeComboBox1->setEditable(true);
  AdvOfficeComboBox1->setInsertPolicy(QComboBox::NoInsert);
  AdvOfficeComboBox1->setMaxVisibleItems(8);
  AdvOfficeComboBox1->setGeometry(18, 25, 103, 19);

  AdvGlowButton2 = new QPushButton(kCaptionRunning, AdvGroupBox1);
  AdvGlowButton2->setGeometry(143, 22, 94, 25);
  AdvGlowButton2->setFont(BoldFont(font()));
  AdvGlowButton2->setStyleSheet(QStringLiteral("QPushButton { color: #008000; }"));

  AdvGlowButton1 = new QPushButton(QStringLiteral("Сканировать заново"), AdvGroupBox1);
  AdvGlowButton1->setGeometry(243, 22, 170, 25);
  AdvGlowButton1->setFont(BoldFont(font()));

  // The initial state, as the window is built.
  AdvOfficeComboBox1->setEnabled(false);
  AdvGlowButton1->setEnabled(true);

  connect(AdvGlowButton1, &QPushButton::clicked, this,
          [this] { RunGuarded([this] { AdvGlowButton1Click(); }); });
  connect(AdvGlowButton2, &QPushButton::clicked, this,
          [this] { RunGuarded([this] { AdvGlowButton2Click(); }); });
  // Only the operator's changes: typing, or choosing from the list. The program's
  // own settings of the text emit neither.
  connect(AdvOfficeComboBox1, &QComboBox::textActivated, this, [this](const QString& text) {
    RunGuarded([this, text] { AdvOfficeComboBox1Change(text); });
  });
  connect(AdvOfficeComboBox1->lineEdit(), &QLineEdit::textEdited, this,
          [this](const QString& text) {
            RunGuarded([this, text] { AdvOfficeComboBox1Change(text); });
          });
  Notebook1->addWidget(PageSetup);
}

void TForm1::BuildAlarmBanner() {
  AlarmBanner = new QWidget(this);
  AlarmBanner->setObjectName(QStringLiteral("AlarmBanner"));
  AlarmBanner->setGeometry(0, 0, kClientWidth, 57);
  AlarmBanner->setAutoFillBackground(true);
  AlarmBanner->setStyleSheet(QStringLiteral("#AlarmBanner { background: #c00000; }"));
  AlarmText = new QLabel(AlarmBanner);
  AlarmText->setObjectName(QStringLiteral("AlarmText"));
  AlarmText->setGeometry(8, 4, 330, 49);
  AlarmText->setWordWrap(true);
  AlarmText->setFont(BoldFont(font()));
  AlarmText->setStyleSheet(QStringLiteral("color: white;"));
  AlarmSilence = new QPushButton(QStringLiteral("Без звука"), AlarmBanner);
  AlarmSilence->setObjectName(QStringLiteral("AlarmSilence"));
  AlarmSilence->setGeometry(345, 15, 90, 27);
  connect(AlarmSilence, &QPushButton::clicked, this, [this] {
    RunGuarded([this] {
      if (alarm_) alarm_->Silence();
      ShowAlarm();
    });
  });
  AlarmBanner->hide();
}

void TForm1::BuildTrayIcon() {
  PopupMenu1 = new QMenu(this);
  N4 = PopupMenu1->addAction(QStringLiteral("Восстановить"));
  PopupMenu1->addSeparator();
  N6 = PopupMenu1->addAction(QStringLiteral("Закрыть"));
  connect(N4, &QAction::triggered, this, [this] { RunGuarded([this] { N4Click(); }); });
  connect(N6, &QAction::triggered, this, [this] { RunGuarded([this] { N6Click(); }); });
  TrayIcon1 = new QSystemTrayIcon(ProgramIcon(), this);
  TrayIcon1->setToolTip(QStringLiteral("Драйвер - Kestrel"));
  TrayIcon1->setContextMenu(PopupMenu1);
}

// ---------------------------------------------------------------------------
// Start-up

void TForm1::FormCreate() {
  const Clock& clock = services_.clock;
  // 1. Station link down, Image2 red.
  StationLink = false;
  WorkDir = services_.workDir.empty() ? CurrentDirectory() : services_.workDir;
  GroupFlusher::Options flushing;
  flushing.alive = [this] { Alive(ThreadWatch::Flusher); };
  flusher_ = std::make_unique<GroupFlusher>(services_.fs, operatorLog_, std::move(flushing));
  watch_.Expect(ThreadWatch::Flusher, clock.TickMs());
  watch_.Expect(ThreadWatch::Window, clock.TickMs());
  DrawLinkIndicator(*Image2, StationLink, 0);

  // 4. The access code of this run.
  AccessCode = MakeAccessCode();
  Label9->setText(QString::fromStdString(AccessCode));
  Label9->adjustSize();

  // 2-3, 5-7. Reception: the table, the settings, a fresh receiver input.
  ComPort1 = new ComPort(WorkDir, this);
  connect(ComPort1, &ComPort::RxChar, this,
          [this](int count) { RunGuarded([this, count] { ComPort1RxChar(count); }); });
  connect(ComPort1, &ComPort::Failed, this,
          [this](const QString& reason) { RunGuarded([this, reason] { OnPortFailed(reason); }); });
  reception_ = std::make_unique<Reception>(
      ReceptionServices{clock, services_.fs, operatorLog_, WorkDir, flusher_.get()}, *ComPort1);

  // Delivery: events and their spool files; the link worker is started below.
  delivery_ = std::make_unique<Delivery>(
      DeliveryServices{clock, services_.fs, operatorLog_, services_.tcpClients, flusher_.get()},
      reception_->SpoolPlace());
  reception_->DeliverTo(*delivery_);

  // 8. The serial port.
  StartUpOpen();

  // 9. The server link worker.
  if (services_.startWorker) {
    LinkIdentity identity = reception_->Identity();
    identity.alive = [this] { Alive(ThreadWatch::Link); };
    watch_.Expect(ThreadWatch::Link, clock.TickMs());
    delivery_->StartLink(std::move(identity));
  }
  const ServerHost host = ReadServerHost(services_.fs, WorkDir);
  serverText_ = Cp1251ToUtf8(host.address) + ":" + std::to_string(host.port);
  // At most 30 days, so the milliseconds fit the 32-bit tick's span.
  const std::int32_t alarmAfter = std::min(reception_->Settings().AlarmAfter, 30 * 86400);
  alarm_ = std::make_unique<ForwardingAlarm>(static_cast<std::uint32_t>(alarmAfter) * 1000u);

  // 10-11. Image3 from Online; the start time.
  DrawLinkIndicator(*Image3, Online(), ServerBarPosition);
  Label7->setText(DateTimeText(clock.Now()));
  Label7->adjustSize();

  statusStep_ = std::make_unique<TickStep>("обновление состояния", operatorLog_);
  watchStep_ = std::make_unique<TickStep>("тревога и сведения для станции", operatorLog_);
  connect(Timer1, &QTimer::timeout, this, [this] { RunGuarded([this] { Timer1Timer(); }); });
  Timer1->start();
  // Headless there is no notification area to wait for (and Qt complains).
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) TrayIcon1->show();
}

void TForm1::StartUpOpen() {
  const MainSettings& settings = reception_->Settings();
  if (settings.ComPort == kNoPortChosen) {
    SetRunningControls(false, true);
    return;
  }
  const std::string name = Cp1251ToUtf8(settings.ComPort);
  ComPort1->SetName(name);
  AdvOfficeComboBox1->setEditText(QString::fromStdString(name));
  if (OpenPort()) {
    // Running. The rescan button is disabled while the port is open, so a scan can
    // never close it behind a caption that reads "Остановить".
    SetRunningControls(true, false);
    return;
  }
  SetRunningControls(false, true);
  // Not a modal dialog: an unattended restart must never wait for a click.
  Note(QStringLiteral("Порт уже занят. Смените его."));
}

bool TForm1::Online() const { return delivery_ != nullptr && delivery_->Online(); }

// ---------------------------------------------------------------------------
// Serial port

bool TForm1::OpenPort() {
  // A fresh line: halves of reports from before and after are never joined.
  if (!reception_->OpenPort()) return false;
  portFailed_ = false;
  return true;
}

void TForm1::ComPort1RxChar(int Count) { reception_->BytesWaiting(Count); }

void TForm1::OnPortFailed(const QString& reason) {
  const QString name = QString::fromStdString(ComPort1->Name());
  Note(QStringLiteral("Порт %1 перестал работать (%2) и закрыт.").arg(name, reason));
  if (Running()) {
    portFailed_ = true;
    lastPortTryTick_ = services_.clock.TickMs();
    Note(QStringLiteral("Попытка открыть порт %1 снова - каждые 5 секунд.").arg(name));
  }
}

void TForm1::RetryPort() {
  if (!portFailed_ || shutdownDone_) return;
  if (!Running() || ComPort1->IsOpen()) {
    portFailed_ = false;
    return;
  }
  const std::uint32_t now = services_.clock.TickMs();
  if (static_cast<std::uint32_t>(now - lastPortTryTick_) < kPortRetryMs) return;
  lastPortTryTick_ = now;
  if (OpenPort())
    Note(QStringLiteral("Порт %1 снова открыт.").arg(QString::fromStdString(ComPort1->Name())));
}

void TForm1::SetRunningControls(bool running, bool rescanEnabled) {
  running_ = running;
  AdvGlowButton2->setText(running ? kCaptionRunning : kCaptionStopped);
  AdvOfficeComboBox1->setEnabled(!running);
  AdvGlowButton1->setEnabled(rescanEnabled);
}

void TForm1::ScanPorts() {
  // Never probe behind an open port: the scan would leave it closed.
  if (ComPort1->IsOpen()) return;
  const QString text = AdvOfficeComboBox1->currentText();
  AdvOfficeComboBox1->clear();
  for (int n = 1; n <= 32; ++n) {
    const std::string name = "COM" + std::to_string(n);
    ComPort1->SetName(name);
    if (ComPort1->Open()) {
      ComPort1->Close();
      AdvOfficeComboBox1->addItem(QString::fromStdString(name));
    }
  }
  if (AdvOfficeComboBox1->count() > 0)
    AdvOfficeComboBox1->setCurrentIndex(0);
  else
    AdvOfficeComboBox1->setEditText(text);  // an empty list leaves the text as it was
}

void TForm1::AdvGlowButton1Click() { ScanPorts(); }

void TForm1::AdvGlowButton2Click() {
  if (Running()) {
    if (osShutdown_ || shutdownDone_) return;
    const int result = Form2 != nullptr ? Form2->Ask() : TForm2::Cancelled;
    if (result == TForm2::Accepted) {
      ComPort1->Close();
      portFailed_ = false;
      SetRunningControls(false, true);
    } else {
      Tell(QStringLiteral("Неправильный пароль. В доступе отказано"));
    }
    return;
  }
  ComPort1->SetName(AdvOfficeComboBox1->currentText().toStdString());
  if (OpenPort()) {
    SetRunningControls(true, false);
    return;
  }
  Tell(QStringLiteral("Порт уже занят!"));
  if (!shutdownDone_) ScanPorts();
}

void TForm1::AdvOfficeComboBox1Change(const QString& text) {
  if (Running()) return;
  // The settings file of the working folder. A failed write is not caught here:
  // it reaches the application's report of unhandled failures.
  reception_->SavePortName(Utf8ToCp1251(text.toStdString()));
}

// ---------------------------------------------------------------------------
// Timer and status display

// The steps in their order, each guarded on its own: the no-test supervision
// (reception), the spool drain and the retry of kept events (delivery), the status
// display.
void TForm1::Timer1Timer() {
  Alive(ThreadWatch::Window);
  reception_->Tick();
  delivery_->Tick();
  statusStep_->Run([this] { StatusStep(); });
  watchStep_->Run([this] { WatchStep(); });
}

void TForm1::Alive(ThreadWatch::Thread t) {
  watch_.Beat(t, services_.clock.TickMs());
  if (services_.onAlive) services_.onAlive(t);
}

bool TForm1::ThreadsAlive(std::uint32_t withinMs) const {
  return watch_.AllAlive(services_.clock.TickMs(), withinMs);
}

StationStatus TForm1::CurrentStatus() const {
  StationStatus s;
  const std::uint32_t now = services_.clock.TickMs();
  if (delivery_) s.delivery = delivery_->Status();
  s.server = serverText_;
  if (!s.delivery.serverAddress.empty()) {
    // The server the link uses now: the primary, or the standby while it stands in.
    s.server = (s.delivery.onStandby ? "standby " : "") + s.delivery.serverAddress + ":" +
               std::to_string(s.delivery.serverPort);
  }
  if (!s.delivery.online && offlineSinceTick_) s.offlineMs = now - *offlineSinceTick_;
  if (ComPort1 != nullptr) {
    s.portName = ComPort1->Name();
    s.portOpen = ComPort1->IsOpen();
  }
  s.receptionRunning = running_;
  if (reception_) {
    s.receiverSilenceMs = reception_->SilenceMs();
    s.stationPresent = reception_->StationPresent(s.receiverSilenceMs);
    s.transmitters = reception_->Table().Count();
  }
  s.alarm = alarm_ && alarm_->Active();
  return s;
}

void TForm1::WatchStep() {
  const std::uint32_t now = services_.clock.TickMs();
  const bool online = Online();
  if (online) {
    offlineSinceTick_.reset();
  } else if (!offlineSinceTick_) {
    offlineSinceTick_ = now;
  }
  StationStatus s = CurrentStatus();
  const ForwardingAlarm::Outcome out = alarm_->Update(s, now);
  s.alarm = alarm_->Active();
  if (out.began) operatorLog_.Warning(alarm_->BeganLine());
  if (out.cleared) operatorLog_.Notice(alarm_->ClearedLine());
  if (out.beep) {
    if (services_.beep)
      services_.beep();
    else
      QApplication::beep();
  }
  ShowAlarm();
  if (const auto line = statusLine_.Offer(StatusLine(s), now)) service_notifier::Status(*line);
  if (!services_.metricsFile.empty() &&
      (!metricsTick_ || static_cast<std::uint32_t>(now - *metricsTick_) >= kMetricsEveryMs))
    WriteMetrics();
}

bool TForm1::WriteMetrics() {
  if (services_.metricsFile.empty()) return true;
  metricsTick_ = services_.clock.TickMs();
  std::string receiver = WorkDir.filename().string();
  if (receiver.empty()) receiver = WorkDir.parent_path().filename().string();
  const bool ok =
      WriteFileWhole(services_.metricsFile, FormatMetrics(CurrentStatus(), kVersionText, receiver));
  if (!ok && !metricsFailing_)
    Note(QStringLiteral("Не удалось записать файл метрик %1.")
             .arg(QString::fromStdString(services_.metricsFile.string())));
  if (ok && metricsFailing_)
    Note(QStringLiteral("Файл метрик %1 снова записывается.")
             .arg(QString::fromStdString(services_.metricsFile.string())));
  metricsFailing_ = !ok;
  return ok;
}

void TForm1::ShowAlarm() {
  const bool on = alarm_ && alarm_->Active();
  if (on) {
    AlarmText->setText(QString::fromStdString(alarm_->Text()));
    AlarmSilence->setEnabled(!alarm_->Silenced());
    AlarmBanner->raise();
  }
  if (AlarmBanner->isVisibleTo(this) != on) AlarmBanner->setVisible(on);
}

void TForm1::StatusStep() {
  const std::uint32_t elapsed = reception_->SilenceMs();
  Label1->setText(ElapsedText(elapsed));
  Label1->adjustSize();
  if (delivery_) {
    const DeliveryStatus status = delivery_->Status();
    // One step of the server indicator for each sign of life of the link since the
    // last tick; beyond a full turn of the bar the rest are counted, not drawn.
    constexpr std::uint64_t kMostStepsPerTick = 17;
    const std::uint64_t signs = status.signsOfLife - shownSignsOfLife_;
    shownSignsOfLife_ = status.signsOfLife;
    for (std::uint64_t i = 0; i < std::min(signs, kMostStepsPerTick); ++i) AdvanceIndicator();
    LabelSpool->setText(QStringLiteral("Событий на диске: %1").arg(status.backlog));
    LabelSpool->adjustSize();
    // Which server the link uses, beside its indicator; the address in the hint.
    const QString server = status.onStandby ? QStringLiteral("Связь с резервным сервером")
                                            : QStringLiteral("Связь с сервером сообщений");
    if (Label2->text() != server) {
      Label2->setText(server);
      Label2->adjustSize();
    }
    if (!status.serverAddress.empty()) {
      Label2->setToolTip(QStringLiteral("%1:%2, переключений между серверами: %3")
                             .arg(QString::fromStdString(status.serverAddress))
                             .arg(status.serverPort)
                             .arg(status.serverSwitches));
    }
  }

  // A silence of exactly the Attention interval still counts as present.
  const bool present = reception_->StationPresent(elapsed);
  if (present != StationLink) {
    StationLink = present;
    DrawLinkIndicator(*Image2, StationLink, 0);
  }
  RetryPort();
}

void TForm1::AdvanceIndicator() {
  ++ServerBarPosition;
  if (ServerBarPosition > 16) ServerBarPosition = 0;
  DrawLinkIndicator(*Image3, Online(), ServerBarPosition);
}

void TForm1::AdvGlowButton28Click() {
  Notebook1->setCurrentWidget(PageDefault);
  AdvGlowButton28->setChecked(true);
  AdvGlowButton47->setChecked(false);
}

void TForm1::AdvGlowButton47Click() {
  Notebook1->setCurrentWidget(PageSetup);
  AdvGlowButton47->setChecked(true);
  AdvGlowButton28->setChecked(false);
}

// ---------------------------------------------------------------------------
// Minimise, restore, close

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    QTimer::singleShot(0, this, [this] { RunGuarded([this] { ApplicationEvents1Minimize(); }); });
  }
}

void TForm1::ApplicationEvents1Minimize() {
  if (!isMinimized()) return;
  // Without a notification area the icon could never bring the window back: it
  // stays minimised on the taskbar instead.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  hide();
}

void TForm1::N4Click() {
  showNormal();
  raise();
  activateWindow();
  StatusStep();
}

void TForm1::N6Click() { close(); }

void TForm1::closeEvent(QCloseEvent* event) {
  if (shutdownDone_) {
    event->accept();
    return;
  }
  if (osShutdown_) {
    Shutdown();
    event->accept();
    return;
  }
  // One close at a time: a close asked while the code dialog is open is ignored.
  if (Form2 == nullptr || Form2->isVisible()) {
    event->ignore();
    return;
  }
  const int result = Form2->Ask();
  if (result == TForm2::Accepted || osShutdown_) {
    Shutdown();
    event->accept();
    return;
  }
  event->ignore();
  if (result == TForm2::WrongCode) Tell(QStringLiteral("Не правильный пароль."));
}

void TForm1::Shutdown() {
  if (shutdownDone_) return;
  shutdownDone_ = true;
  Timer1->stop();
  ComPort1->Close();
  delivery_->RequestStop();
  TrayIcon1->hide();
  emit CloseAccepted();
}

void TForm1::RequestShutdown() {
  if (shutdownDone_) return;
  osShutdown_ = true;
  // Dialogs waiting for the operator give way; their callers then see the request.
  if (Form2 != nullptr && Form2->isVisible()) Form2->done(TForm2::Cancelled);
  if (advsm != nullptr && advsm->isVisible()) advsm->done(1);
  QTimer::singleShot(0, this, [this] {
    if (!shutdownDone_) close();
    Shutdown();
  });
}

bool TForm1::FinishWorker(int boundMs) {
  if (!delivery_) return true;
  if (!delivery_->Finish(boundMs)) {
    // The program ends without the worker; what the disk holds is flushed first.
    if (flusher_) flusher_->Stop(std::chrono::seconds(1));
    return false;
  }
  // What waits for a flush goes to the disk now; later writes are flushed at once.
  if (flusher_ && !flusher_->Stop(std::chrono::seconds(5)))
    Note(QStringLiteral("Файлы событий не удалось сбросить на диск за 5 с."));
  // A table save that failed is tried once more; one that still fails is reported.
  if (reception_) reception_->Table().SaveAtStop();
  return true;
}

std::size_t TForm1::UnwrittenEvents() const { return delivery_ ? delivery_->UnwrittenEvents() : 0; }

void TForm1::Tell(const QString& text) {
  if (osShutdown_ || shutdownDone_) return;
  ShowMes(text);
}

void TForm1::Note(const QString& line) { operatorLog_.Report(line.toStdString()); }

}  // namespace kestrel
