#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "window/modal_runner.h"

namespace kestrel {

// The access code dialog "Закрытый доступ": asks for the code shown on the status
// page before reception is stopped or the program closed. Made once, reused; the
// entry starts empty each time the dialog shows, so a code typed for one stop
// never stands ready for the next.
class TForm2 final : public QDialog {
  Q_OBJECT
 public:
  enum Result { Accepted = 1, Cancelled = 2, WrongCode = 4 };

  explicit TForm2(QWidget* parent = nullptr);
  ~TForm2() override;

  // The code that `BitBtn1Click` compares the entry with.
  void SetAccessCode(const std::string& code) { accessCode_ = QString::fromStdString(code); }
  // Shows the dialog modally and returns 1 (right code), 2 (cancelled) or 4 (wrong code).
  int Ask();
  void SetModalRunner(ModalRunner runner) { runner_ = std::move(runner); }

  QLineEdit* MaskEdit1;
  QPushButton* BitBtn1;  // "ОК"
  QPushButton* BitBtn2;  // "Отмена"
  QLabel* Label1;        // the prompt

  void reject() override;  // "Отмена", Escape or the title bar: result 2

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormActivate();
  void BitBtn1Click();

  QString accessCode_;
  ModalRunner runner_ = ExecModal;
};

// The one access code dialog of the program, while it exists.
extern TForm2* Form2;

}  // namespace kestrel
