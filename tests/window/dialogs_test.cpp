#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <string>

#include "window/admshowmes.h"
#include "window/pasx.h"

namespace kestrel {
namespace {

// Within a pixel of the middle of the screen's available area (frame included).
bool Centred(const QWidget& w) {
  const QRect g = w.frameGeometry();
  const QRect a = QGuiApplication::primaryScreen()->availableGeometry();
  const int dx = (g.left() - a.left()) - (a.right() - g.right());
  const int dy = (g.top() - a.top()) - (a.bottom() - g.bottom());
  return std::abs(dx) <= 1 && std::abs(dy) <= 1;
}

ModalRunner Operator(std::function<void(TForm2&)> answer) {
  return [answer](QDialog& d) {
    QTimer::singleShot(0, &d, [&d, answer] { answer(static_cast<TForm2&>(d)); });
    return d.exec();
  };
}

void Type(TForm2& d, const QString& keys) { QTest::keyClicks(d.MaskEdit1, keys); }

TEST(AccessCodeDialog, ResultsFollowTheEntry) {
  struct Case {
    const char* what;
    std::function<void(TForm2&)> act;
    int result;
  };
  const Case cases[] = {
      {"right code",
       [](TForm2& d) {
         Type(d, "12345");
         QTest::mouseClick(d.BitBtn1, Qt::LeftButton);
       },
       TForm2::Accepted},
      {"other five digits",
       [](TForm2& d) {
         Type(d, "54321");
         QTest::mouseClick(d.BitBtn1, Qt::LeftButton);
       },
       TForm2::WrongCode},
      {"fewer digits",
       [](TForm2& d) {
         Type(d, "1234");
         QTest::mouseClick(d.BitBtn1, Qt::LeftButton);
       },
       TForm2::WrongCode},
      {"empty entry",
       [](TForm2& d) {
         d.MaskEdit1->clear();
         QTest::mouseClick(d.BitBtn1, Qt::LeftButton);
       },
       TForm2::WrongCode},
      {"Отмена",
       [](TForm2& d) {
         Type(d, "12345");
         QTest::mouseClick(d.BitBtn2, Qt::LeftButton);
       },
       TForm2::Cancelled},
      {"Escape", [](TForm2& d) { QTest::keyClick(&d, Qt::Key_Escape); }, TForm2::Cancelled},
      {"title bar close", [](TForm2& d) { d.close(); }, TForm2::Cancelled},
      {"Enter with the right code",
       [](TForm2& d) {
         Type(d, "12345");
         QTest::keyClick(d.MaskEdit1, Qt::Key_Return);
       },
       TForm2::Accepted},
  };
  for (const Case& c : cases) {
    TForm2 dialog;
    dialog.SetAccessCode("12345");
    dialog.SetModalRunner(Operator(c.act));
    EXPECT_EQ(dialog.Ask(), c.result) << c.what;
    EXPECT_FALSE(dialog.isVisible()) << c.what;
  }
}

TEST(AccessCodeDialog, EntryIsMaskedDigitsOnlyAndAtMostFive) {
  TForm2 dialog;
  dialog.SetAccessCode("12345");
  QString shown;
  dialog.SetModalRunner(Operator([&](TForm2& d) {
    Type(d, "1a2-3 4567");
    shown = d.MaskEdit1->displayText();
    d.reject();
  }));
  dialog.Ask();
  EXPECT_EQ(dialog.MaskEdit1->text(), "12345");
  EXPECT_EQ(shown, "*****");
}

TEST(AccessCodeDialog, EntryStartsEmptyEachTime) {
  TForm2 dialog;
  dialog.SetAccessCode("24680");
  dialog.SetModalRunner(Operator([](TForm2& d) {
    Type(d, "24680");
    QTest::mouseClick(d.BitBtn1, Qt::LeftButton);
  }));
  ASSERT_EQ(dialog.Ask(), TForm2::Accepted);

  // The code typed for the last stop is gone: "ОК" at once is refused.
  QString shown = QStringLiteral("unset");
  bool centred = false;
  dialog.SetModalRunner(Operator([&](TForm2& d) {
    shown = d.MaskEdit1->text();
    centred = Centred(d);
    QTest::mouseClick(d.BitBtn1, Qt::LeftButton);
  }));
  EXPECT_EQ(dialog.Ask(), TForm2::WrongCode);
  EXPECT_EQ(shown, "");
  EXPECT_TRUE(centred);

  // After a refusal it starts empty too; typing the code again is accepted.
  dialog.SetModalRunner(Operator([&](TForm2& d) {
    shown = d.MaskEdit1->text();
    Type(d, "24680");
    QTest::mouseClick(d.BitBtn1, Qt::LeftButton);
  }));
  EXPECT_EQ(dialog.Ask(), TForm2::Accepted);
  EXPECT_EQ(shown, "");
}

TEST(AccessCodeDialog, LayoutAndTexts) {
  TForm2 dialog;
  EXPECT_EQ(dialog.windowTitle(), "Закрытый доступ");
  EXPECT_EQ(dialog.size(), QSize(281, 93));
  EXPECT_EQ(dialog.Label1->text(), "Введите пароль для доступа");
  EXPECT_EQ(dialog.Label1->pos(), QPoint(48, 8));
  EXPECT_EQ(dialog.Label1->font().pixelSize(), 16);
  EXPECT_TRUE(dialog.Label1->font().bold());
  EXPECT_EQ(dialog.MaskEdit1->geometry(), QRect(120, 33, 49, 19));
  EXPECT_EQ(dialog.BitBtn1->text(), "ОК");
  EXPECT_EQ(dialog.BitBtn1->geometry(), QRect(67, 58, 72, 25));
  EXPECT_EQ(dialog.BitBtn2->text(), "Отмена");
  EXPECT_EQ(dialog.BitBtn2->geometry(), QRect(145, 58, 72, 25));
}

struct MessageCase {
  QString text;
  int width;       // W = L × (12 − 2), frame included
  int buttonLeft;  // (W − 72) / 2: the button in the middle of an unframed dialog
};
const MessageCase kMessages[] = {
    {"Порт уже занят!", 150, 39},
    {"Не правильный пароль.", 210, 69},
    {"Неправильный пароль. В доступе отказано", 390, 159},
};

// Whatever frame the window system adds, the dialog is W wide with it; the client
// area is what is left, with the label across it and the button in its middle.
TEST(ShowMes, LayoutKeepsTheOuterWidthForAnyFrame) {
  for (const MessageCase& c : kMessages) {
    const int characters = static_cast<int>(c.text.toUcs4().size());
    for (const int frame : {0, 2, 7, 8}) {
      SCOPED_TRACE(c.text.toStdString() + ", frame " + std::to_string(frame));
      const MessageLayout m = LayOutMessage(characters, 12, frame);
      EXPECT_EQ(m.outerWidth, c.width);
      EXPECT_EQ(m.client, QSize(c.width - frame, Tadvsm::kClientHeight));
      EXPECT_EQ(m.label, QRect(2, 16, c.width - frame, 19));
      EXPECT_EQ(m.button.size(), QSize(72, 25));
      EXPECT_EQ(m.button.top(), 41);
      // Centred: the space left of the button equals the space right of it, or
      // is one pixel less.
      const int right = m.client.width() - m.button.right() - 1;
      EXPECT_TRUE(right - m.button.left() == 0 || right - m.button.left() == 1)
          << m.button.left() << " " << right;
      if (frame == 0) {
        EXPECT_EQ(m.button.left(), c.buttonLeft);
      }
    }
  }
}

TEST(ShowMes, WidthFollowsTheTextLength) {
  Tadvsm dialog;
  EXPECT_EQ(dialog.windowTitle(), "advsm");
  for (const MessageCase& c : kMessages) {
    SCOPED_TRACE(c.text.toStdString());
    QString label;
    QRect outer;
    QSize client;
    QRect labelRect;
    QRect button;
    bool centred = false;
    dialog.SetModalRunner([&](QDialog& d) {
      QTimer::singleShot(0, &d, [&] {
        centred = Centred(dialog);
        label = dialog.Label1->text();
        outer = dialog.frameGeometry();
        client = dialog.size();
        labelRect = dialog.Label1->geometry();
        button = dialog.BitBtn1->geometry();
        QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton);
      });
      return d.exec();
    });
    ShowMes(c.text);  // returns once "ОК" closed it
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(label, c.text);
    EXPECT_TRUE(centred);
    // The test platform frames its windows too (a few pixels): the frame is
    // inside W, not added to it.
    EXPECT_EQ(outer.width(), c.width);
    const int frame = outer.width() - client.width();
    EXPECT_EQ(client.height(), Tadvsm::kClientHeight);
    const MessageLayout expected =
        LayOutMessage(static_cast<int>(c.text.toUcs4().size()), 12, frame);
    EXPECT_EQ(client, expected.client);
    EXPECT_EQ(labelRect, expected.label);
    EXPECT_EQ(button, expected.button);
  }
  EXPECT_EQ(dialog.Label1->font().pointSize(), 12);
  EXPECT_TRUE(dialog.Label1->font().bold());
}

TEST(ShowMes, DoesNothingBeforeTheDialogExists) {
  ASSERT_EQ(advsm, nullptr);
  ShowMes("Порт уже занят. Смените его.");  // returns at once, shows nothing
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  {
    Tadvsm dialog;
    EXPECT_EQ(advsm, &dialog);
  }
  EXPECT_EQ(advsm, nullptr);
}

}  // namespace
}  // namespace kestrel
