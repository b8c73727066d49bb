#include "window/admshowmes.h"

#include "window/dialog_fonts.h"
#include "window/screen_placement.h"

namespace kestrel {

Tadvsm* advsm = nullptr;

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("advsm"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setModal(true);

  Label1 = new QLabel(this);
  Label1->setFont(DialogFontPoints(12));
  Label1->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  Label1->setGeometry(2, 16, 100, 19);

  BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
  BitBtn1->setGeometry(14, 41, kButtonWidth, 25);
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { done(1); });

  setFixedSize(100, kClientHeight);
  advsm = this;
}

Tadvsm::~Tadvsm() {
  if (advsm == this) advsm = nullptr;
}

void Tadvsm::Prepare(const QString& text) {
  Label1->setText(text);
  const int l = static_cast<int>(text.toUcs4().size());
  const int s = Label1->font().pointSize();
  const int w = l * (s - 2);
  setFixedSize(w, kClientHeight);
  Label1->setGeometry(2, 16, w, 19);
  BitBtn1->setGeometry((w - kButtonWidth) / 2, 41, kButtonWidth, 25);
  CenterOnScreen(*this);
}

void ShowMes(const QString& text) {
  if (advsm == nullptr || advsm->isVisible()) return;
  advsm->Prepare(text);
  advsm->Run();
}

}  // namespace kestrel
