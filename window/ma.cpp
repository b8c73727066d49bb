#include "window/ma.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QFont>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMetaObject>
#include <QThread>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "platform/text_1251.h"
#include "window/access_code.h"
#include "window/admshowmes.h"
#include "window/kestrel_application.h"
#include "window/link_indicator.h"
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

TForm1::TForm1(Station& station, std::function<void()> beep, QWidget* parent)
    : QWidget(parent), station_(station), beep_(std::move(beep)) {
  BuildWindow();
  FormCreate();
}

// The station outlives the window: its log stops showing lines here first.
TForm1::~TForm1() { station_.Log().Listen({}); }

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

  ComPort1 = station_.OwnPort();
  Timer1 = new QTimer(this);
  Timer1->setInterval(200);
  BuildTrayIcon();
  BuildAlarmBanner();
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
      station_.Alarm().Silence();
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
  // Station link down, Image2 red.
  StationLink = false;
  DrawLinkIndicator(*Image2, StationLink, 0);

  // The access code of this run.
  AccessCode = MakeAccessCode();
  Label9->setText(QString::fromStdString(AccessCode));
  Label9->adjustSize();

  // Every line of the operator log, those of the station's start-up first.
  station_.Log().Listen([this](const std::string& line) {
    const QString text = QString::fromStdString(line);
    if (QThread::currentThread() == thread()) {
      ShowLine(text);
    } else {
      QMetaObject::invokeMethod(
          this, [this, text] { ShowLine(text); }, Qt::QueuedConnection);
    }
  });

  // The port the settings name, as the station opened it (or could not).
  const MainSettings& settings = station_.Settings();
  if (settings.ComPort != kNoPortChosen)
    AdvOfficeComboBox1->setEditText(QString::fromStdString(Cp1251ToUtf8(settings.ComPort)));
  // Running: the rescan button is disabled while the port is open, so a scan can
  // never close it behind a caption that reads "Остановить".
  SetRunningControls(Running(), !Running());

  // Image3 from Online; the start time.
  shownOnline_ = Online();
  shownSigns_ = station_.SignsOfLife();
  DrawLinkIndicator(*Image3, shownOnline_, ServerBarPosition);
  Label7->setText(DateTimeText(station_.StartedAt()));
  Label7->adjustSize();

  statusStep_ = std::make_unique<TickStep>("обновление состояния", station_.Log());
  connect(Timer1, &QTimer::timeout, this, [this] { RunGuarded([this] { Timer1Timer(); }); });
  Timer1->start();
  // Headless there is no notification area to wait for (and Qt complains).
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) TrayIcon1->show();
}

void TForm1::ShowLine(const QString& line) { Memo1->appendPlainText(line); }

// ---------------------------------------------------------------------------
// Serial port

void TForm1::SetRunningControls(bool running, bool rescanEnabled) {
  AdvGlowButton2->setText(running ? kCaptionRunning : kCaptionStopped);
  AdvOfficeComboBox1->setEnabled(!running);
  AdvGlowButton1->setEnabled(rescanEnabled);
}

void TForm1::ScanPorts() {
  // Never probe behind an open port: the scan would leave it closed.
  if (station_.Port().IsOpen()) return;
  const QString text = AdvOfficeComboBox1->currentText();
  AdvOfficeComboBox1->clear();
  for (const std::string& name : station_.ScanPorts())
    AdvOfficeComboBox1->addItem(QString::fromStdString(name));
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
      station_.StopReception();
      SetRunningControls(false, true);
    } else {
      Tell(QStringLiteral("Неправильный пароль. В доступе отказано"));
    }
    return;
  }
  if (station_.StartReception(AdvOfficeComboBox1->currentText().toStdString())) {
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
  station_.SavePortName(Utf8ToCp1251(text.toStdString()));
}

// ---------------------------------------------------------------------------
// Timer and status display

// The station's tick (reception, delivery, the port retry, the watch), then the
// window's own step, guarded on its own.
void TForm1::Timer1Timer() {
  const ForwardingAlarm::Outcome out = station_.Tick();
  if (out.beep) {
    if (beep_)
      beep_();
    else
      QApplication::beep();
  }
  statusStep_->Run([this] { StatusStep(); });
}

void TForm1::SetLabel(QLabel& label, const QString& text) {
  if (label.text() == text) return;
  label.setText(text);
  label.adjustSize();
}

void TForm1::ShowAlarm() {
  ForwardingAlarm& alarm = station_.Alarm();
  const bool on = alarm.Active();
  if (on) {
    SetLabel(*AlarmText, QString::fromStdString(alarm.Text()));
    if (!shownAlarm_ || shownSilenced_ != alarm.Silenced()) {
      AlarmSilence->setEnabled(!alarm.Silenced());
      shownSilenced_ = alarm.Silenced();
    }
    if (!shownAlarm_) AlarmBanner->raise();
  }
  shownAlarm_ = on;
  if (AlarmBanner->isVisibleTo(this) != on) AlarmBanner->setVisible(on);
}

void TForm1::StatusStep() {
  Reception& reception = station_.Receiving();
  const std::uint32_t elapsed = reception.SilenceMs();
  // The text shows whole seconds: made again only when the second changes.
  if (!shownElapsedS_ || *shownElapsedS_ != elapsed / 1000) {
    shownElapsedS_ = elapsed / 1000;
    SetLabel(*Label1, ElapsedText(elapsed));
  }
  const DeliveryStatus status = station_.Delivering().Status();
  if (status.backlog != shownBacklog_) {
    shownBacklog_ = status.backlog;
    SetLabel(*LabelSpool, QStringLiteral("Событий на диске: %1").arg(status.backlog));
  }
  // Which server the link uses, beside its indicator; the address in the hint.
  SetLabel(*Label2, status.onStandby ? QStringLiteral("Связь с резервным сервером")
                                     : QStringLiteral("Связь с сервером сообщений"));
  if (!status.serverAddress.empty() &&
      (status.serverAddress != shownAddress_ || status.serverPort != shownPort_ ||
       status.serverSwitches != shownSwitches_)) {
    shownAddress_ = status.serverAddress;
    shownPort_ = status.serverPort;
    shownSwitches_ = status.serverSwitches;
    Label2->setToolTip(QStringLiteral("%1:%2, переключений между серверами: %3")
                           .arg(QString::fromStdString(status.serverAddress))
                           .arg(status.serverPort)
                           .arg(status.serverSwitches));
  }

  // A silence of exactly the Attention interval still counts as present.
  const bool present = reception.StationPresent(elapsed);
  if (present != StationLink) {
    StationLink = present;
    DrawLinkIndicator(*Image2, StationLink, 0);
  }

  // The server indicator: a step for each sign of life of the link since the
  // last tick, and its colour when the link came up or went down.
  const std::uint64_t signs = station_.SignsOfLife();
  if (signs != shownSigns_) {
    const std::uint64_t steps = signs - shownSigns_;
    shownSigns_ = signs;
    AdvanceIndicator(steps);
  } else if (Online() != shownOnline_) {
    shownOnline_ = Online();
    DrawLinkIndicator(*Image3, shownOnline_, ServerBarPosition);
  }
  ShowAlarm();
}

void TForm1::AdvanceIndicator(std::uint64_t steps) {
  ServerBarPosition = static_cast<int>((ServerBarPosition + steps) % 17);
  shownOnline_ = Online();
  DrawLinkIndicator(*Image3, shownOnline_, ServerBarPosition);
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
  // The rest of the end (the link worker, the flusher) is the station's, once
  // the window loop has ended.
  station_.Port().Close();
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

void TForm1::Tell(const QString& text) {
  if (osShutdown_ || shutdownDone_) return;
  ShowMes(text);
}

}  // namespace kestrel
