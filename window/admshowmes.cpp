#include "window/admshowmes.h"

#include <QEvent>
#include <QMargins>
#include <QWindow>
#include <algorithm>

#include "window/dialog_fonts.h"
#include "window/screen_placement.h"

namespace kestrel {

Tadvsm* advsm = nullptr;

MessageLayout LayOutMessage(int characters, int pointSize, int frameWidth) {
  MessageLayout m;
  m.outerWidth = characters * (pointSize - 2);
  const int client = std::max(1, m.outerWidth - std::max(0, frameWidth));
  m.client = QSize(client, Tadvsm::kClientHeight);
  m.label = QRect(2, 16, client, 19);
  m.button = QRect((client - Tadvsm::kButtonWidth) / 2, 41, Tadvsm::kButtonWidth, 25);
  return m;
}

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
  characters_ = static_cast<int>(text.toUcs4().size());
  // Made on the window system's side first, so a frame it already told is used.
  if (!testAttribute(Qt::WA_WState_Created)) winId();
  if (windowHandle() != nullptr && !exposeWatched_) {
    windowHandle()->installEventFilter(this);
    exposeWatched_ = true;
  }
  fittedFrame_ = -1;
  Fit();
  CenterOnScreen(*this);
}

int Tadvsm::FrameWidth() const {
  // Asked of the window itself: the widget's own copy of the frame is brought up
  // to date only when the window moves or changes size.
  const QWindow* window = windowHandle();
  if (window == nullptr) return 0;
  const QMargins frame = window->frameMargins();
  return frame.left() + frame.right();
}

void Tadvsm::Fit() {
  if (characters_ == 0 || fitting_) return;
  const int frame = FrameWidth();
  if (frame == fittedFrame_) return;
  fitting_ = true;
  const bool firstFit = fittedFrame_ < 0;
  fittedFrame_ = frame;
  const MessageLayout m = LayOutMessage(characters_, Label1->font().pointSize(), frame);
  setFixedSize(m.client);
  Label1->setGeometry(m.label);
  BitBtn1->setGeometry(m.button);
  // A frame learnt only now changed the size: back to the middle of the screen.
  if (!firstFit) CenterOnScreen(*this);
  fitting_ = false;
}

bool Tadvsm::event(QEvent* e) {
  const bool handled = QDialog::event(e);
  switch (e->type()) {
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::Resize:
      // The window system frames a window when it maps it, and tells the size of
      // the frame a little later; a framed window is moved by the frame.
      Fit();
      break;
    default:
      break;
  }
  return handled;
}

bool Tadvsm::eventFilter(QObject* watched, QEvent* e) {
  // The window system may tell the frame after the window has moved into it: the
  // window is shown (exposed) once it is framed.
  if (watched == windowHandle() && e->type() == QEvent::Expose)
    QMetaObject::invokeMethod(
        this, [this] { Fit(); }, Qt::QueuedConnection);
  return QDialog::eventFilter(watched, e);
}

void ShowMes(const QString& text) {
  if (advsm == nullptr || advsm->isVisible()) return;
  advsm->Prepare(text);
  advsm->Run();
}

}  // namespace kestrel
