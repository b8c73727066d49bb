#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QString>

#include "window/modal_runner.h"

namespace kestrel {

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

 private:
  ModalRunner runner_ = ExecModal;
};

// The one message dialog of the program, while it exists.
extern Tadvsm* advsm;

// Shows the text in the message dialog and returns when the operator has closed
// it. Width rule: W = L × (S − 2) for L characters at S points (12: 10 pixels a
// character); the dialog and the label are W wide, the label at left 2, the
// button at (W − 72) / 2. Does nothing while the dialog does not exist (during
// the main window's start-up).
void ShowMes(const QString& text);

}  // namespace kestrel
