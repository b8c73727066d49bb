#include "window/pasx.h"

#include <QRegularExpressionValidator>
#include <QShowEvent>

#include "window/dialog_fonts.h"
#include "window/screen_placement.h"

namespace kestrel {

TForm2* Form2 = nullptr;

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Закрытый доступ"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setFixedSize(281, 93);
  setModal(true);

  Label1 = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
  Label1->setFont(DialogFontPixels(16));
  Label1->move(48, 8);
  Label1->adjustSize();

  MaskEdit1 = new QLineEdit(this);
  MaskEdit1->setObjectName(QStringLiteral("MaskEdit1"));
  MaskEdit1->setGeometry(120, 33, 49, 19);
  MaskEdit1->setMaxLength(5);
  MaskEdit1->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), this));
  MaskEdit1->setEchoMode(QLineEdit::Password);
  MaskEdit1->setStyleSheet(
      QStringLiteral("QLineEdit { lineedit-password-character: 42; "
                     "lineedit-password-mask-delay: 0; padding: 0px; }"));

  BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
  BitBtn1->setGeometry(67, 58, 72, 25);
  BitBtn1->setDefault(true);
  BitBtn2 = new QPushButton(QStringLiteral("Отмена"), this);
  BitBtn2->setGeometry(145, 58, 72, 25);
  BitBtn2->setAutoDefault(false);

  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { reject(); });
  Form2 = this;
}

TForm2::~TForm2() {
  if (Form2 == this) Form2 = nullptr;
}

int TForm2::Ask() {
  if (isVisible()) return Cancelled;  // one question at a time
  CenterOnScreen(*this);
  return runner_(*this);
}

void TForm2::reject() { done(Cancelled); }

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormActivate();
}

void TForm2::FormActivate() {
  MaskEdit1->clear();
  MaskEdit1->setFocus(Qt::ActiveWindowFocusReason);
}

void TForm2::BitBtn1Click() { done(MaskEdit1->text() == accessCode_ ? Accepted : WrongCode); }

}  // namespace kestrel
