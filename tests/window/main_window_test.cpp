#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "delivery/Unit7.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "receiver/settings.h"
#include "station/station.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/pty_port.h"
#include "tests/support/scripted_tcp_client.h"
#include "tests/support/temp_dir.h"
#include "window/admshowmes.h"
#include "window/kestrel_application.h"
#include "window/link_indicator.h"
#include "window/ma.h"
#include "window/pasx.h"
#include "window/time_text.h"

namespace kestrel {
namespace {

using test::FakeClock;
using test::PtyPort;
using test::TempDir;

constexpr int kWaitMs = 3000;  // bound of every wait on real events

// A receiver line: ten hex digits, one unexamined byte, a line feed.
std::string Report(const std::string& tenHex) { return tenHex + "\r\n"; }

QRgb FramePixel(const IndicatorImage& image) { return image.Canvas().pixel(0, 8); }
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kGreen = qRgb(0, 128, 0);

class MainWindow : public ::testing::Test {
 protected:
  // The process's current folder is an empty one of its own: the window works in
  // the working folder it is given and writes nothing anywhere else.
  void SetUp() override {
    oldDir_ = std::filesystem::current_path();
    std::filesystem::current_path(cwd_.Path());
  }

  void TearDown() override {
    form_.reset();
    station_.reset();
    form2_.reset();
    advsm_.reset();
    std::filesystem::current_path(oldDir_);
    EXPECT_TRUE(std::filesystem::is_empty(cwd_.Path())) << "written into the current folder";
  }

  void WriteIni(const std::string& text) { test::WriteFileText(dir_ / "drvkestrel.ini", text); }

  // Start-up as the program does it: the main window, then the two dialogs.
  TForm1& Start(bool worker = false, TcpClientFactory clients = {}) {
    StationServices services{clock_, files_, std::move(clients), dir_.Path(), worker};
    // A second start in one test: the window goes before the station it shows.
    advsm_.reset();
    form2_.reset();
    form_.reset();
    station_.reset();
    station_ = std::make_unique<Station>(std::move(services));
    form_ = std::make_unique<TForm1>(*station_);
    form2_ = std::make_unique<TForm2>();
    form2_->SetAccessCode(form_->AccessCode);
    form2_->SetModalRunner([this](QDialog& d) { return AnswerForm2(d); });
    advsm_ = std::make_unique<Tadvsm>();
    advsm_->SetModalRunner([this](QDialog&) {
      messages_.push_back(advsm_->Label1->text());
      return 1;
    });
    return *form_;
  }

  // The operator's next answers to the code dialog, each run in its real loop.
  enum class Answer { RightCode, WrongCode, Cancel };
  void Answers(std::initializer_list<Answer> answers) { answers_.assign(answers); }

  int AnswerForm2(QDialog& d) {
    ++form2Shown_;
    const Answer a = answers_.empty() ? Answer::Cancel : answers_.front();
    if (!answers_.empty()) answers_.erase(answers_.begin());
    QTimer::singleShot(0, &d, [this, a] {
      if (duringForm2_) duringForm2_();
      form2_->MaskEdit1->clear();
      if (a == Answer::Cancel) {
        QTest::mouseClick(form2_->BitBtn2, Qt::LeftButton);
        return;
      }
      const std::string code = a == Answer::RightCode
                                   ? form_->AccessCode
                                   : (form_->AccessCode == "10000" ? "10001" : "10000");
      QTest::keyClicks(form2_->MaskEdit1, QString::fromStdString(code));
      QTest::mouseClick(form2_->BitBtn1, Qt::LeftButton);
    });
    return d.exec();
  }

  // A pseudo-terminal reachable as ports/<name>.
  PtyPort& Device(const std::string& name) {
    auto& p = devices_.emplace_back(std::make_unique<PtyPort>());
    EXPECT_TRUE(p->Ok());
    p->LinkAs(dir_ / "ports" / name);
    return *p;
  }

  std::vector<std::string> MemoLines() const {
    std::vector<std::string> lines;
    for (const QString& l : form_->Memo1->toPlainText().split('\n', Qt::SkipEmptyParts))
      lines.push_back(l.toStdString());
    return lines;
  }
  bool MemoHas(const std::string& line) const {
    for (const auto& l : MemoLines())
      if (l.find(line) != std::string::npos) return true;
    return false;
  }

  std::vector<QString> ComboItems() const {
    std::vector<QString> items;
    for (int i = 0; i < form_->AdvOfficeComboBox1->count(); ++i)
      items.push_back(form_->AdvOfficeComboBox1->itemText(i));
    return items;
  }

  TempDir dir_;
  TempDir cwd_;
  std::filesystem::path oldDir_;
  FakeClock clock_;
  test::FaultyFileSystem files_;
  std::vector<std::unique_ptr<PtyPort>> devices_;
  std::unique_ptr<Station> station_;
  std::unique_ptr<TForm1> form_;
  std::unique_ptr<TForm2> form2_;
  std::unique_ptr<Tadvsm> advsm_;
  std::vector<Answer> answers_;
  std::function<void()> duringForm2_;
  int form2Shown_ = 0;
  std::vector<QString> messages_;
};

// ---------------------------------------------------------------------------
// Start-up

TEST_F(MainWindow, StartsWithoutSettingsOrTable) {
  TForm1& f = Start();
  EXPECT_EQ(f.TheStation().Settings(), MainSettings{});
  EXPECT_EQ(f.TheStation().Table().Count(), 0u);
  EXPECT_FALSE(f.ComPort1->IsOpen());
  EXPECT_EQ(f.AdvGlowButton2->text(), "Запустить");
  EXPECT_TRUE(f.AdvOfficeComboBox1->isEnabled());
  EXPECT_TRUE(f.AdvGlowButton1->isEnabled());
  EXPECT_EQ(f.AdvOfficeComboBox1->count(), 0);
  EXPECT_EQ(f.AdvOfficeComboBox1->currentText(), "");
  EXPECT_EQ(f.ComPort1->BaudRate(), 2400);
  // "COM128": nothing tried; only the missing settings file and its defaults are told.
  ASSERT_EQ(MemoLines().size(), 1u);
  EXPECT_EQ(MemoLines()[0].rfind("Файл настроек drvkestrel.ini не найден; действуют значения по "
                                 "умолчанию: порт COM128",
                                 0),
            0u);

  // The access code, the start time, both indicators red.
  ASSERT_EQ(f.AccessCode.size(), 5u);
  EXPECT_GE(std::stoi(f.AccessCode), 10000);
  EXPECT_LE(std::stoi(f.AccessCode), 99998);
  EXPECT_EQ(f.Label9->text().toStdString(), f.AccessCode);
  EXPECT_EQ(f.Label7->text(), DateTimeText(clock_.Now()));
  EXPECT_FALSE(f.StationLink);
  EXPECT_EQ(FramePixel(*f.Image2), kRed);
  EXPECT_EQ(FramePixel(*f.Image3), kRed);
  EXPECT_EQ(f.Image1->DrawCount(), 0);
  EXPECT_EQ(f.ServerBarPosition, 0);
  EXPECT_EQ(f.Label1->text(), "Время с последнего сообщения");
  EXPECT_EQ(f.Notebook1->currentWidget(), f.PageDefault);
  EXPECT_TRUE(f.AdvGlowButton28->isChecked());
  EXPECT_FALSE(f.AdvGlowButton47->isChecked());
  EXPECT_TRUE(f.Timer1->isActive());
  EXPECT_EQ(f.Timer1->interval(), 200);
}

TEST_F(MainWindow, StartsWithSettingsAndTable) {
  Bytes image(32);
  TransmitterRecord a;
  a.IdLow = 0x2C;
  a.IdMid = 0x1B;
  a.IdHigh = 0x0A;
  a.SerialNo = 1;
  TransmitterRecord b = a;
  b.IdLow = 0x2D;
  b.SerialNo = 2;
  EncodeTransmitterRecord(a, image.data());
  EncodeTransmitterRecord(b, image.data() + 16);
  test::WriteFileBytes(dir_ / "num.mmm", image);
  Device("COM3");
  WriteIni("[main]\r\nComPort=COM3\r\nbr=9600\r\nFirstNumber=7\r\nNoTimeTest=5\r\n");

  TForm1& f = Start();
  EXPECT_EQ(f.TheStation().Table().Count(), 2u);
  EXPECT_EQ(f.TheStation().Settings().FirstNumber, 7);
  EXPECT_EQ(f.TheStation().Settings().NoTimeTest, 5);
  EXPECT_TRUE(f.ComPort1->IsOpen());
  EXPECT_EQ(f.ComPort1->BaudRate(), 9600);
  EXPECT_EQ(f.AdvGlowButton2->text(), "Остановить");
  EXPECT_FALSE(f.AdvOfficeComboBox1->isEnabled());
  EXPECT_EQ(f.AdvOfficeComboBox1->currentText(), "COM3");
  EXPECT_EQ(f.AdvOfficeComboBox1->count(), 0);
  // The port is open: a scan could only close it behind the caption.
  EXPECT_FALSE(f.AdvGlowButton1->isEnabled());
  EXPECT_TRUE(f.Memo1->toPlainText().isEmpty());
}

TEST_F(MainWindow, StartUpPortThatCannotBeOpened) {
  struct Case {
    const char* ini;
    const char* selector;
    int baud;
  };
  const Case cases[] = {
      {"[main]\r\nComPort=COM9\r\n", "COM9", 2400},                 // no such device
      {"[main]\r\nComPort=com128\r\nbr=9600\r\n", "com128", 9600},  // only "COM128" means none
      {"[main]\r\nComPort=COM9\r\nbr=4800\r\n", "COM9", 2400},
  };
  for (const Case& c : cases) {
    WriteIni(c.ini);
    TForm1& f = Start();
    EXPECT_FALSE(f.ComPort1->IsOpen()) << c.ini;
    EXPECT_EQ(f.ComPort1->BaudRate(), c.baud) << c.ini;
    EXPECT_EQ(f.AdvGlowButton2->text(), "Запустить");
    EXPECT_TRUE(f.AdvOfficeComboBox1->isEnabled());
    EXPECT_TRUE(f.AdvGlowButton1->isEnabled());
    EXPECT_EQ(f.AdvOfficeComboBox1->currentText(), c.selector);
    // Told in the log area, not in a dialog an unattended restart would wait on.
    EXPECT_EQ(MemoLines(), std::vector<std::string>{"Порт уже занят. Смените его."}) << c.ini;
    EXPECT_TRUE(messages_.empty());
  }
}

TEST_F(MainWindow, LayoutAndCaptions) {
  TForm1& f = Start();
  EXPECT_EQ(f.windowTitle(), "Драйвер - Harrier");
  EXPECT_EQ(f.size(), QSize(443, 328));
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_EQ(f.Notebook1->geometry(), QRect(0, 138, 443, 191));
  EXPECT_EQ(f.TrayIcon1->toolTip(), "Драйвер - Kestrel");
  const auto actions = f.PopupMenu1->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0]->text(), "Восстановить");
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2]->text(), "Закрыть");

  struct Place {
    QWidget* w;
    QPoint at;
    QString text;
  };
  const Place places[] = {
      {f.Label4, {8, 11}, "Контроль связи со станцией"},
      {f.Image2, {158, 10}, {}},
      {f.Label1, {180, 11}, {}},
      {f.Label2, {259, 11}, "Связь с сервером сообщений"},
      {f.Image3, {416, 10}, {}},
      {f.Label6, {7, 38}, "Дата и время запуска"},
      {f.Label7, {124, 38}, {}},
      {f.Label5, {259, 38}, "Связь с сервером сообщений"},
      {f.Image1, {416, 37}, {}},
      {f.Label8, {7, 66}, "Пароль для закрытия"},
      {f.Label9, {124, 66}, {}},
      {f.Memo1, {5, 85}, {}},
      {f.AdvGroupBox1, {5, 3}, {}},
      {f.AdvOfficeComboBox1, {18, 25}, {}},
      {f.AdvGlowButton2, {143, 22}, {}},
      {f.AdvGlowButton1, {243, 22}, "Сканировать заново"},
  };
  for (const Place& p : places) {
    EXPECT_EQ(p.w->pos(), p.at) << p.w->metaObject()->className() << " " << p.text.toStdString();
    if (auto* label = qobject_cast<QLabel*>(p.w); label && !p.text.isEmpty()) {
      EXPECT_EQ(label->text(), p.text);
    }
    if (auto* button = qobject_cast<QPushButton*>(p.w); button && !p.text.isEmpty()) {
      EXPECT_EQ(button->text(), p.text);
    }
  }
  EXPECT_EQ(f.Image2->size(), QSize(16, 16));
  EXPECT_EQ(f.Label6->width(), 111);
  EXPECT_TRUE(f.Label6->alignment() & Qt::AlignRight);
  EXPECT_EQ(f.Memo1->size(), QSize(432, 100));
  EXPECT_FALSE(f.Memo1->isReadOnly());
  EXPECT_EQ(f.AdvGroupBox1->size(), QSize(428, 62));
  EXPECT_EQ(f.AdvGroupBox1->title(), "Com порт");
  EXPECT_EQ(f.AdvOfficeComboBox1->size(), QSize(103, 19));
  EXPECT_EQ(f.AdvOfficeComboBox1->maxVisibleItems(), 8);
  EXPECT_TRUE(f.AdvOfficeComboBox1->isEditable());
  EXPECT_EQ(f.AdvGlowButton2->size(), QSize(94, 25));
  EXPECT_TRUE(f.AdvGlowButton2->font().bold());
  EXPECT_EQ(f.AdvGlowButton1->size(), QSize(170, 25));
}

TEST_F(MainWindow, PageSwitching) {
  TForm1& f = Start();
  QTest::mouseClick(f.AdvGlowButton47, Qt::LeftButton);
  EXPECT_EQ(f.Notebook1->currentWidget(), f.PageSetup);
  EXPECT_TRUE(f.AdvGlowButton47->isChecked());
  EXPECT_FALSE(f.AdvGlowButton28->isChecked());
  // A second click keeps the pressed look: exactly one of the two is pressed.
  QTest::mouseClick(f.AdvGlowButton47, Qt::LeftButton);
  EXPECT_TRUE(f.AdvGlowButton47->isChecked());
  EXPECT_FALSE(f.AdvGlowButton28->isChecked());
  QTest::mouseClick(f.AdvGlowButton28, Qt::LeftButton);
  EXPECT_EQ(f.Notebook1->currentWidget(), f.PageDefault);
  EXPECT_TRUE(f.AdvGlowButton28->isChecked());
  EXPECT_FALSE(f.AdvGlowButton47->isChecked());
}

// ---------------------------------------------------------------------------
// Closing

TEST_F(MainWindow, CloseNeedsTheCode) {
  Device("COM2");
  WriteIni("[main]\r\nComPort=COM2\r\n");
  TForm1& f = Start();
  QSignalSpy accepted(&f, &TForm1::CloseAccepted);
  f.show();

  Answers({Answer::Cancel});
  EXPECT_FALSE(f.close());
  EXPECT_TRUE(messages_.empty());  // a cancel says nothing

  Answers({Answer::WrongCode});
  EXPECT_FALSE(f.close());
  EXPECT_EQ(messages_, std::vector<QString>{"Не правильный пароль."});
  EXPECT_TRUE(f.ComPort1->IsOpen());
  EXPECT_EQ(accepted.count(), 0);

  // "Закрыть" in the icon's menu asks exactly like the window's close button.
  Answers({Answer::RightCode});
  f.N6->trigger();
  EXPECT_EQ(form2Shown_, 3);
  EXPECT_EQ(accepted.count(), 1);
  EXPECT_FALSE(f.ComPort1->IsOpen());
  EXPECT_FALSE(f.Timer1->isActive());
  EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(MainWindow, OneCloseAtATime) {
  TForm1& f = Start();
  f.show();
  int nested = -1;
  duringForm2_ = [&] {
    if (nested >= 0) return;
    nested = 0;
    f.N6Click();  // "Закрыть" again while the code dialog is open
    nested = form2Shown_;
  };
  Answers({Answer::Cancel});
  f.N6Click();
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(form2Shown_, 1);
}

TEST_F(MainWindow, OperatingSystemRequestNeedsNoCode) {
  Device("COM2");
  WriteIni("[main]\r\nComPort=COM2\r\n");
  TForm1& f = Start();
  QSignalSpy accepted(&f, &TForm1::CloseAccepted);
  f.show();
  f.RequestShutdown();
  ASSERT_TRUE(QTest::qWaitFor([&] { return accepted.count() == 1; }, kWaitMs));
  EXPECT_EQ(form2Shown_, 0);
  EXPECT_FALSE(f.ComPort1->IsOpen());
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindow, OperatingSystemRequestWhileTheCodeDialogIsOpen) {
  Device("COM2");
  WriteIni("[main]\r\nComPort=COM2\r\n");
  TForm1& f = Start();
  QSignalSpy accepted(&f, &TForm1::CloseAccepted);
  // The operator leaves the stop dialog open; the system asks the program to end.
  form2_->SetModalRunner([&](QDialog& d) {
    ++form2Shown_;
    QTimer::singleShot(0, &f, [&f] { f.RequestShutdown(); });
    return d.exec();
  });
  f.AdvGlowButton2Click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return accepted.count() == 1; }, kWaitMs));
  EXPECT_EQ(form2Shown_, 1);
  EXPECT_FALSE(form2_->isVisible());
  EXPECT_TRUE(messages_.empty());  // no refusal message on the way out
  EXPECT_FALSE(f.ComPort1->IsOpen());
}

// ---------------------------------------------------------------------------
// Serial port control

TEST_F(MainWindow, StopNeedsTheCode) {
  Device("COM4");
  WriteIni("[main]\r\nComPort=COM4\r\n");
  TForm1& f = Start();
  ASSERT_TRUE(f.ComPort1->IsOpen());

  for (Answer refused : {Answer::Cancel, Answer::WrongCode}) {
    messages_.clear();
    Answers({refused});
    QTest::mouseClick(f.AdvGlowButton2, Qt::LeftButton);
    EXPECT_EQ(messages_, std::vector<QString>{"Неправильный пароль. В доступе отказано"});
    EXPECT_TRUE(f.ComPort1->IsOpen());
    EXPECT_EQ(f.AdvGlowButton2->text(), "Остановить");
    EXPECT_FALSE(f.AdvOfficeComboBox1->isEnabled());
  }

  messages_.clear();
  Answers({Answer::RightCode});
  QTest::mouseClick(f.AdvGlowButton2, Qt::LeftButton);
  EXPECT_TRUE(messages_.empty());
  EXPECT_FALSE(f.ComPort1->IsOpen());
  EXPECT_EQ(f.AdvGlowButton2->text(), "Запустить");
  EXPECT_TRUE(f.AdvOfficeComboBox1->isEnabled());
  EXPECT_TRUE(f.AdvGlowButton1->isEnabled());
}

TEST_F(MainWindow, StartThatFailsThenScans) {
  Device("COM6");
  TForm1& f = Start();
  for (const char* typed : {"COM7", "", "CMO6"}) {
    messages_.clear();
    f.AdvOfficeComboBox1->setEditText(typed);
    QTest::mouseClick(f.AdvGlowButton2, Qt::LeftButton);
    EXPECT_EQ(messages_, std::vector<QString>{"Порт уже занят!"}) << typed;
    EXPECT_EQ(f.AdvGlowButton2->text(), "Запустить");
    EXPECT_EQ(ComboItems(), std::vector<QString>{"COM6"});
    EXPECT_EQ(f.AdvOfficeComboBox1->currentText(), "COM6");
  }

  // The scan chose COM6; a start now succeeds.
  messages_.clear();
  QTest::mouseClick(f.AdvGlowButton2, Qt::LeftButton);
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(f.ComPort1->IsOpen());
  EXPECT_EQ(f.ComPort1->Name(), "COM6");
  EXPECT_EQ(f.AdvGlowButton2->text(), "Остановить");
  EXPECT_FALSE(f.AdvOfficeComboBox1->isEnabled());
  EXPECT_FALSE(f.AdvGlowButton1->isEnabled());
}

TEST_F(MainWindow, ScanListsOnlyOpenablePortsInAscendingOrder) {
  for (const char* name : {"COM31", "COM3", "COM12", "COM33"}) Device(name);
  std::filesystem::create_symlink("/dev/no-such-device", dir_ / "ports" / "COM5");
  Device("COM20");
  // COM20 is held by another program.
  QSerialPort holder(QString::fromStdString((dir_ / "ports" / "COM20").string()));
  ASSERT_TRUE(holder.open(QIODevice::ReadWrite));

  TForm1& f = Start();
  f.AdvOfficeComboBox1->setEditText("typed");
  QTest::mouseClick(f.AdvGlowButton1, Qt::LeftButton);
  EXPECT_EQ(ComboItems(), (std::vector<QString>{"COM3", "COM12", "COM31"}));
  EXPECT_EQ(f.AdvOfficeComboBox1->currentText(), "COM3");
  EXPECT_FALSE(f.ComPort1->IsOpen());
  EXPECT_FALSE(std::filesystem::exists(dir_ / "drvkestrel.ini"));  // scanning writes nothing
  holder.close();
}

TEST_F(MainWindow, ScanWithoutOpenablePortsKeepsTheText) {
  TForm1& f = Start();
  f.AdvOfficeComboBox1->addItem("old");
  f.AdvOfficeComboBox1->setEditText("COM8");
  f.ScanPorts();
  EXPECT_EQ(f.AdvOfficeComboBox1->count(), 0);
  EXPECT_EQ(f.AdvOfficeComboBox1->currentText(), "COM8");
}

TEST_F(MainWindow, PortNameIsSavedOnlyWhileStopped) {
  Device("COM3");
  WriteIni("; station\r\n[main]\r\nComPort=COM128\r\nbr=9600\r\n");
  TForm1& f = Start();
  ASSERT_EQ(f.AdvGlowButton2->text(), "Запустить");

  // Typing writes at once; other lines stay as they were.
  f.AdvOfficeComboBox1->lineEdit()->clear();
  QTest::keyClicks(f.AdvOfficeComboBox1->lineEdit(), "COM3");
  EXPECT_EQ(test::ReadFileText(dir_ / "drvkestrel.ini"),
            "; station\r\n[main]\r\nComPort=COM3\r\nbr=9600\r\n");
  // Choosing from the list writes as well.
  emit f.AdvOfficeComboBox1->textActivated("COM12");
  EXPECT_EQ(IniFile(dir_ / "drvkestrel.ini", files_).ReadString("main", "ComPort", ""), "COM12");
  // The program's own settings of the text write nothing.
  f.AdvOfficeComboBox1->setEditText("COM3");
  f.ScanPorts();
  EXPECT_EQ(IniFile(dir_ / "drvkestrel.ini", files_).ReadString("main", "ComPort", ""), "COM12");

  // Running: nothing is written.
  QTest::mouseClick(f.AdvGlowButton2, Qt::LeftButton);
  ASSERT_EQ(f.AdvGlowButton2->text(), "Остановить");
  f.AdvOfficeComboBox1->setEnabled(true);  // even if the operator could reach it
  QTest::keyClicks(f.AdvOfficeComboBox1->lineEdit(), "9");
  EXPECT_EQ(IniFile(dir_ / "drvkestrel.ini", files_).ReadString("main", "ComPort", ""), "COM12");
}

TEST_F(MainWindow, RunningIsStateNotTheButtonCaption) {
  Device("COM3");
  WriteIni("[main]\r\nComPort=COM3\r\n");
  TForm1& f = Start();
  ASSERT_TRUE(f.Running());
  // Whatever the button reads, a running reception saves no port name...
  f.AdvGlowButton2->setText("Стоп");
  f.AdvOfficeComboBox1->setEnabled(true);
  QTest::keyClicks(f.AdvOfficeComboBox1->lineEdit(), "9");
  EXPECT_EQ(IniFile(dir_ / "drvkestrel.ini", files_).ReadString("main", "ComPort", ""), "COM3");
  // ...and the stop button still asks for the code before it stops.
  Answers({Answer::RightCode});
  f.AdvGlowButton2Click();
  EXPECT_EQ(form2Shown_, 1);
  EXPECT_FALSE(f.Running());
  EXPECT_FALSE(f.ComPort1->IsOpen());
}

TEST_F(MainWindow, FailedSaveReachesTheApplicationsFailureReport) {
  TForm1& f = Start();
  auto* app = qobject_cast<KestrelApplication*>(QCoreApplication::instance());
  ASSERT_NE(app, nullptr);
  std::vector<QString> failures;
  app->SetFailureReport([&](const QString& text) { failures.push_back(text); });
  std::filesystem::create_directory(dir_ / "drvkestrel.ini");  // cannot be written as a file
  QTest::keyClicks(f.AdvOfficeComboBox1->lineEdit(), "C");
  app->SetFailureReport(nullptr);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_TRUE(failures[0].startsWith("Unable to write to ")) << failures[0].toStdString();
  EXPECT_TRUE(failures[0].endsWith("drvkestrel.ini"));
  EXPECT_EQ(f.AdvGlowButton2->text(), "Запустить");
}

TEST_F(MainWindow, ReportsReachTheTable) {
  PtyPort& device = Device("COM1");
  WriteIni("[main]\r\nComPort=COM1\r\n");
  TForm1& f = Start();
  ASSERT_TRUE(f.ComPort1->IsOpen());
  clock_.AdvanceMs(1500);
  ASSERT_TRUE(device.Write(Report("0A1B2C0000")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.TheStation().Table().Count() == 1; }, kWaitMs));
  EXPECT_EQ(f.TheStation().Table().RecordAt(0).Id(), 0x0A1B2Cu);
  EXPECT_EQ(f.TheStation().Input().LastDataTick(), clock_.TickMs());
}

TEST_F(MainWindow, EveryOpenStartsAFreshLine) {
  PtyPort& device = Device("COM1");
  WriteIni("[main]\r\nComPort=COM1\r\n");
  TForm1& f = Start();
  ASSERT_TRUE(device.Write("0A1B2C"));  // half a report, then the port is stopped
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.TheStation().Input().Assembler().LineIndex() == 7; },
                              kWaitMs));
  Answers({Answer::RightCode});
  f.AdvGlowButton2Click();
  ASSERT_FALSE(f.ComPort1->IsOpen());
  f.AdvOfficeComboBox1->setEditText("COM1");
  f.AdvGlowButton2Click();
  ASSERT_TRUE(f.ComPort1->IsOpen());
  EXPECT_EQ(f.TheStation().Input().Assembler().LineIndex(), 1);
  // The other half of some report, then a whole one: only the whole one counts.
  ASSERT_TRUE(device.Write("0000\r\n" + Report("0D0E0F0000")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.TheStation().Table().Count() >= 1; }, kWaitMs));
  QTest::qWait(50);
  ASSERT_EQ(f.TheStation().Table().Count(), 1u);
  EXPECT_EQ(f.TheStation().Table().RecordAt(0).Id(), 0x0D0E0Fu);
}

TEST_F(MainWindow, PortThatFailsIsClosedAndRetried) {
  auto first = std::make_unique<PtyPort>();
  first->LinkAs(dir_ / "ports" / "COM1");
  WriteIni("[main]\r\nComPort=COM1\r\n");
  TForm1& f = Start();
  ASSERT_TRUE(f.ComPort1->IsOpen());

  first->CloseMaster();  // the adapter is unplugged
  ASSERT_TRUE(QTest::qWaitFor([&] { return !f.ComPort1->IsOpen(); }, kWaitMs));
  EXPECT_TRUE(MemoHas("Порт COM1 перестал работать"));
  EXPECT_EQ(f.AdvGlowButton2->text(), "Остановить");
  EXPECT_FALSE(f.AdvGlowButton1->isEnabled());
  first.reset();

  // A new device under the same name: tried again (by the tick) only once 5 s
  // have passed.
  PtyPort& second = Device("COM1");
  clock_.AdvanceMs(4999);
  f.Timer1Timer();
  EXPECT_FALSE(f.ComPort1->IsOpen());
  clock_.AdvanceMs(1);
  f.Timer1Timer();
  ASSERT_TRUE(f.ComPort1->IsOpen());
  EXPECT_TRUE(MemoHas("Порт COM1 снова открыт."));
  EXPECT_EQ(f.TheStation().Input().Assembler().LineIndex(), 1);
  ASSERT_TRUE(second.Write(Report("0A1B2C0000")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.TheStation().Table().Count() == 1; }, kWaitMs));
}

// ---------------------------------------------------------------------------
// Status display

TEST_F(MainWindow, StationLinkWatchdogRunsOnTheMonotonicTick) {
  WriteIni("[main]\r\nAttention=0:0:10\r\n");
  TForm1& f = Start();
  f.Timer1->stop();
  const int draws = f.Image2->DrawCount();

  f.StatusStep();  // green from the first tick
  EXPECT_TRUE(f.StationLink);
  EXPECT_EQ(FramePixel(*f.Image2), kGreen);
  EXPECT_EQ(f.Label1->text(), ElapsedText(0));

  clock_.AdvanceMs(10000);  // exactly the Attention interval: still present
  f.StatusStep();
  EXPECT_TRUE(f.StationLink);
  EXPECT_EQ(f.Label1->text(), ElapsedText(10000));

  // Setting the wall clock back or forward changes nothing.
  clock_.SetNow(clock_.Now() - 1.0);
  f.StatusStep();
  EXPECT_TRUE(f.StationLink);
  clock_.SetNow(clock_.Now() + 2.0);
  f.StatusStep();
  EXPECT_TRUE(f.StationLink);
  EXPECT_EQ(f.Image2->DrawCount(), draws + 1);  // repainted only on a change

  clock_.AdvanceMs(1);
  f.StatusStep();
  EXPECT_FALSE(f.StationLink);
  EXPECT_EQ(FramePixel(*f.Image2), kRed);
  f.StatusStep();
  EXPECT_EQ(f.Image2->DrawCount(), draws + 2);

  // 25 hours of silence read as one hour.
  clock_.AdvanceMs(25u * 3600u * 1000u - 10001u);
  f.StatusStep();
  EXPECT_EQ(f.Label1->text(), ElapsedText(3600u * 1000u));
}

TEST_F(MainWindow, ServerIndicatorStepsOnEverySignal) {
  TForm1& f = Start();
  const int draws = f.Image3->DrawCount();
  for (int i = 1; i <= 17; ++i) {
    f.AdvanceIndicator();
    EXPECT_EQ(f.ServerBarPosition, i % 17);
  }
  EXPECT_EQ(f.Image3->DrawCount(), draws + 17);
  QImage expected(16, 16, QImage::Format_ARGB32);
  PaintLinkIndicator(expected, false, 0);
  EXPECT_EQ(f.Image3->Canvas(), expected);

  // Signs of life that came between two ticks are drawn as one picture.
  f.AdvanceIndicator(20);
  EXPECT_EQ(f.ServerBarPosition, 3);
  EXPECT_EQ(f.Image3->DrawCount(), draws + 18);
}

// An idle tick (nothing heard, nothing changed) draws nothing and sets no text.
TEST_F(MainWindow, AnIdleTickRedrawsNothing) {
  WriteIni("[main]\r\nAttention=0:0:10\r\n");
  TForm1& f = Start();
  f.Timer1->stop();
  f.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  f.Timer1Timer();
  QCoreApplication::processEvents();
  const int draws2 = f.Image2->DrawCount();
  const int draws3 = f.Image3->DrawCount();
  QSignalSpy memo(f.Memo1, &QPlainTextEdit::textChanged);
  int repaints = 0;
  class Counter final : public QObject {
   public:
    explicit Counter(int& n) : n_(n) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::UpdateRequest || e->type() == QEvent::Paint) ++n_;
      return false;
    }
    int& n_;
  } counter(repaints);
  for (QLabel* l : {f.Label1, f.Label2, f.LabelSpool}) l->installEventFilter(&counter);
  const QString label1 = f.Label1->text();
  for (int i = 0; i < 4; ++i) {
    clock_.AdvanceMs(200);  // within the same second of silence
    f.Timer1Timer();
  }
  QCoreApplication::processEvents();
  EXPECT_EQ(f.Label1->text(), label1);
  EXPECT_EQ(f.Image2->DrawCount(), draws2);
  EXPECT_EQ(f.Image3->DrawCount(), draws3);
  EXPECT_EQ(repaints, 0);
  EXPECT_EQ(memo.count(), 0);
}

TEST_F(MainWindow, OperatorLogGoesToTheLogArea) {
  WriteIni("[main]\r\n");
  TForm1& f = Start();
  f.TheStation().Log().Report("Не удалось сохранить таблицу передатчиков (num.mmm).");
  std::thread other([&] { f.TheStation().Log().Report("из другого потока"); });
  other.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return MemoLines().size() == 2; }, kWaitMs));
  EXPECT_EQ(MemoLines()[0], "Не удалось сохранить таблицу передатчиков (num.mmm).");
  EXPECT_EQ(MemoLines()[1], "из другого потока");
}

// ---------------------------------------------------------------------------
// Minimise and restore

TEST_F(MainWindow, MinimiseWithoutNotificationAreaStaysOnTheTaskbar) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());  // offscreen
  TForm1& f = Start();
  f.show();
  f.showMinimized();
  QTest::qWait(20);
  f.ApplicationEvents1Minimize();
  EXPECT_TRUE(f.isVisible());
  EXPECT_TRUE(f.isMinimized());
  f.N4->trigger();
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.isMinimized());
}

// ---------------------------------------------------------------------------
// A modal dialog does not stop the program

TEST_F(MainWindow, SerialTimerAndWorkerAreServedWhileTheCodeDialogIsOpen) {
  PtyPort& device = Device("COM1");
  WriteIni("[main]\r\nComPort=COM1\r\n");
  TForm1& f = Start();
  bool serial = false;
  bool tick = false;
  bool request = false;
  form2_->SetModalRunner([&](QDialog& d) {
    QTimer::singleShot(0, &d, [&] {
      device.Write(Report("0A1B2C0000"));
      // A line of another thread (the link worker's) reaches the log area.
      std::thread worker([&] { f.TheStation().Log().Report("из потока связи"); });
      worker.join();
      serial = QTest::qWaitFor([&] { return f.TheStation().Table().Count() == 1; }, kWaitMs);
      tick = QTest::qWaitFor([&] { return f.Label1->text() != "Время с последнего сообщения"; },
                             kWaitMs);
      request = QTest::qWaitFor([&] { return MemoHas("из потока связи"); }, kWaitMs);
      QTest::mouseClick(form2_->BitBtn2, Qt::LeftButton);
    });
    return d.exec();
  });
  f.AdvGlowButton2Click();  // stop: the code dialog opens
  EXPECT_TRUE(serial);
  EXPECT_TRUE(tick);
  EXPECT_TRUE(request);
  EXPECT_EQ(messages_, std::vector<QString>{"Неправильный пароль. В доступе отказано"});
}

// ---------------------------------------------------------------------------
// The server link worker, wired

TEST_F(MainWindow, WorkerConnectsAndReportsThroughTheWindow) {
  test::ScriptedPeer peer(clock_);
  peer.SetOnWrite([&peer](ByteView) { peer.Push(BuildBlock(BuildPacket(cmdRegistered, 0, {}))); });
  Device("COM1");
  WriteIni("[main]\r\nComPort=COM1\r\nFirstNumber=3\r\n");
  TForm1& f = Start(true, peer.Factory());
  ASSERT_NE(f.TheStation().Worker(), nullptr);
  EXPECT_TRUE(f.TheStation().Worker()->IsReconnectEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return MemoHas("Соединение установлено."); }, kWaitMs));
  EXPECT_EQ(MemoLines()[0], "Соединение...");
  ASSERT_TRUE(QTest::qWaitFor([&] { return peer.Writes().size() >= 4; }, kWaitMs));
  // The handshake told the port name of the settings and that it is open.
  const Bytes portInfo = BuildBlock(BuildPacket(cmdPortInfo, 1, PortInfoPayload("COM1", true)));
  EXPECT_EQ(peer.Writes()[1], portInfo);
  EXPECT_TRUE(f.Online());
  ASSERT_TRUE(QTest::qWaitFor([&] { return FramePixel(*f.Image3) == kGreen; }, kWaitMs));
  // The link's signs of life step the indicator at the window's ticks.
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.ServerBarPosition > 0; }, kWaitMs));

  QSignalSpy accepted(&f, &TForm1::CloseAccepted);
  f.RequestShutdown();
  ASSERT_TRUE(QTest::qWaitFor([&] { return accepted.count() == 1; }, kWaitMs));
  EXPECT_FALSE(f.ComPort1->IsOpen());
  EXPECT_TRUE(f.TheStation().Shutdown(4000));
  EXPECT_TRUE(f.TheStation().Worker()->IsStopRequested());
  form_.reset();
  station_.reset();  // before the peer its connections talk to
}

// The standby in use is shown beside the server indicator. The primary's port is
// invalid, so every attempt at it fails; the scripted server answers on any other.
TEST_F(MainWindow, TheStandbyInUseIsShownBesideTheServerIndicator) {
  test::ScriptedPeer peer(clock_);
  peer.SetOnWrite([&peer](ByteView) { peer.Push(BuildBlock(BuildPacket(cmdRegistered, 0, {}))); });
  WriteIni("[ServerHost]\r\nPort=0\r\nBackupPort=4002\r\nFailoverAfter=1\r\n");
  TForm1& f = Start(true, peer.Factory());
  EXPECT_EQ(f.Label2->text(), "Связь с сервером сообщений");
  ASSERT_TRUE(QTest::qWaitFor([&] { return MemoHas("Неверный порт сервера"); }, kWaitMs));
  clock_.AdvanceMs(6000);  // the next attempt, with the primary away for longer than 1 s
  ASSERT_TRUE(QTest::qWaitFor([&] { return MemoHas("Резервный сервер 127.0.0.1:4002"); }, kWaitMs));
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return f.Label2->text() == "Связь с резервным сервером"; }, kWaitMs));
  EXPECT_TRUE(f.Label2->toolTip().startsWith("127.0.0.1:4002"));
  EXPECT_TRUE(f.TheStation().Delivering().Status().onStandby);
  EXPECT_EQ(f.TheStation().Delivering().Status().serverSwitches, 1u);

  QSignalSpy accepted(&f, &TForm1::CloseAccepted);
  f.RequestShutdown();
  ASSERT_TRUE(QTest::qWaitFor([&] { return accepted.count() == 1; }, kWaitMs));
  EXPECT_TRUE(f.TheStation().Shutdown(4000));
  form_.reset();
  station_.reset();  // before the peer its connections talk to
}

// Stopping: every event is on disk already, except those the disk refused; they
// are written one last time, and what still cannot be written is named.
TEST_F(MainWindow, StopWritesKeptEventsOnceMoreOrNamesThem) {
  for (const bool diskBack : {true, false}) {
    SCOPED_TRACE(diskBack ? "disk back at the stop" : "disk still refusing");
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path())) {
      if (e.path().extension() == ".dd8") std::filesystem::remove(e.path());
    }
    TForm1& f = Start();
    EventRecord r;
    r.TransmitterId = 0xABCDEF;
    r.EventCode = {'4', '1'};
    r.EventTime = clock_.Now();
    f.TheStation().Delivering().Raise(r);  // written
    files_.Fail(test::FaultyFileSystem::Op::WriteNew);
    f.TheStation().Delivering().Raise(r);  // kept in memory
    f.TheStation().Delivering().Raise(r);
    f.StatusStep();
    EXPECT_EQ(f.LabelSpool->text(), QStringLiteral("Событий на диске: 3"))
        << "one file and two kept in memory";
    if (diskBack) files_.HealAll();
    f.RequestShutdown();
    EXPECT_TRUE(f.TheStation().Shutdown(1000));
    std::size_t onDisk = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path())) {
      onDisk += e.path().extension() == ".dd8" ? 1 : 0;
    }
    if (diskBack) {
      EXPECT_EQ(f.TheStation().UnwrittenEvents(), 0u);
      EXPECT_EQ(onDisk, 3u);
    } else {
      EXPECT_EQ(f.TheStation().UnwrittenEvents(), 2u);
      EXPECT_EQ(onDisk, 1u);
      EXPECT_TRUE(MemoHas("Событие не записано на диск и потеряно: событие 41 передатчика ABCDEF"));
    }
    files_.HealAll();
    form_.reset();
    station_.reset();
  }
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// The forwarding alarm as the window shows it, under the fake clock: nothing
// before AlarmAfter, then the banner, a beep and one warning; a beep every 30 s
// until the operator silences it; the metrics file follows the same figures.
TEST_F(MainWindow, ForwardingAlarmShowsTheBannerAndBeepsUntilSilenced) {
  WriteIni("[main]\r\nAlarmAfter=60\r\n");
  int beeps = 0;
  const std::filesystem::path metrics = dir_ / "drvkestrel.prom";
  station_ =
      std::make_unique<Station>(StationServices{clock_, files_, {}, dir_.Path(), false, metrics});
  form_ = std::make_unique<TForm1>(*station_, [&beeps] { ++beeps; });
  TForm1& f = *form_;
  f.Timer1Timer();  // the link has been down since now
  EventRecord r;
  r.TransmitterId = 0xABCDEF;
  r.EventCode = {'4', '1'};
  r.EventTime = clock_.Now();
  f.TheStation().Delivering().Raise(r);

  clock_.AdvanceMs(60000);  // exactly AlarmAfter: not yet
  f.Timer1Timer();
  EXPECT_FALSE(f.AlarmBanner->isVisibleTo(&f));
  EXPECT_EQ(beeps, 0);

  clock_.AdvanceMs(200);
  f.Timer1Timer();
  ASSERT_TRUE(f.AlarmBanner->isVisibleTo(&f));
  EXPECT_EQ(f.AlarmText->text(),
            QStringLiteral("Сервер недоступен 1 мин, событий на диске: 1, старейшее 1 мин"));
  EXPECT_EQ(beeps, 1);
  EXPECT_TRUE(MemoHas("Тревога: Сервер недоступен 1 мин, событий на диске: 1, старейшее 1 мин."));

  clock_.AdvanceMs(29800);
  f.Timer1Timer();
  EXPECT_EQ(beeps, 1);
  clock_.AdvanceMs(200);
  f.Timer1Timer();
  EXPECT_EQ(beeps, 2);

  QTest::mouseClick(f.AlarmSilence, Qt::LeftButton);  // no access code asked
  EXPECT_EQ(form2Shown_, 0);
  EXPECT_FALSE(f.AlarmSilence->isEnabled());
  clock_.AdvanceMs(60000);
  f.Timer1Timer();
  EXPECT_EQ(beeps, 2);
  EXPECT_TRUE(f.AlarmBanner->isVisibleTo(&f)) << "silenced, not cleared";

  const std::string text = test::ReadFileText(metrics);
  EXPECT_NE(text.find("drvkestrel_events_waiting{receiver="), std::string::npos) << text;
  EXPECT_NE(text.find("drvkestrel_forwarding_alarm{receiver=\"" + dir_.Path().filename().string() +
                      "\"} 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("drvkestrel_events_raised_total{receiver=\"" +
                      dir_.Path().filename().string() + "\"} 1\n"),
            std::string::npos)
      << text;
}

TEST_F(MainWindow, AlarmAfterZeroKeepsTheAlarmOff) {
  WriteIni("[main]\r\nAlarmAfter=0\r\n");
  int beeps = 0;
  station_ = std::make_unique<Station>(StationServices{clock_, files_, {}, dir_.Path(), false});
  form_ = std::make_unique<TForm1>(*station_, [&beeps] { ++beeps; });
  TForm1& f = *form_;
  EventRecord r;
  r.TransmitterId = 1;
  r.EventCode = {'4', '1'};
  r.EventTime = clock_.Now();
  f.TheStation().Delivering().Raise(r);
  clock_.AdvanceMs(3600000);
  f.Timer1Timer();
  EXPECT_FALSE(f.AlarmBanner->isVisibleTo(&f));
  EXPECT_EQ(beeps, 0);
}

}  // namespace
}  // namespace kestrel
