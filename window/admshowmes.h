#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>

#include "window/modal_runner.h"

namespace kestrel {

// Where the message dialog's parts go for a text. The width rule W = L × (S − 2)
// (L characters at S points; 12 points: 10 pixels a character) gives the dialog's
// outer width, frame included; the client area is what the frame leaves of it.
// The label starts at 2 and is as wide as the client area; the button is centred
// in the client area. Without a frame: client W, label (2, 16, W, 19), button at
// (W − 72) / 2.
struct MessageLayout {
  int outerWidth = 0;
  QSize client;
  QRect label;
  QRect button;
};
// frameWidth: what the window system's frame adds to the width (left + right).
MessageLayout LayOutMessage(int characters, int pointSize, int frameWidth);

// The one-button message dialog "advsm" through which the window tells the
// operator about refusals and port failures. Made once, reused; its width is set
// for each message.
class Tadvsm final : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kClientHeight = 73;
  static constexpr int kButtonWidth = 72;

  explicit Tadvsm(QWidget* parent = nullptr);
  ~Tadvsm() override;

  // Lays the dialog out for the text (see ShowMes) without showing it.
  void Prepare(const QString& text);
  void SetModalRunner(ModalRunner runner) { runner_ = std::move(runner); }
  int Run() { return runner_(*this); }

  QLabel* Label1;
  QPushButton* BitBtn1;  // "ОК"

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  // What the frame adds to the width, as far as the window system has told.
  int FrameWidth() const;
  // Lays out for the present text and frame; re-centres when the size changed.
  void Fit();

  ModalRunner runner_ = ExecModal;
  int characters_ = 0;
  int fittedFrame_ = -1;
  bool fitting_ = false;
  bool exposeWatched_ = false;
};

// The one message dialog of the program, while it exists.
extern Tadvsm* advsm;

// Shows the text in the message dialog and returns when the operator has closed
// it. The dialog is laid out by LayOutMessage: W = L × (S − 2) wide with its
// frame. The frame is known for sure only once the window system has framed the
// dialog, so the layout is fitted again when it shows and whenever it moves.
// Does nothing while the dialog does not exist (during the main window's
// start-up).
void ShowMes(const QString& text);

}  // namespace kestrel
