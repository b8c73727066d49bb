#include "window/kestrel_application.h"

#include <QMessageBox>
#include <cstdio>
#include <exception>

#include "platform/operator_log.h"

namespace kestrel {

KestrelApplication::KestrelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  SetFailureReport(nullptr);
}

void KestrelApplication::SetFailureReport(FailureReport report) {
  if (!report) report = [this](const QString& text) { ShowFailureBox(text); };
  report_ = std::move(report);
}

QString KestrelApplication::Title() { return QStringLiteral("Драйвер Kestrel"); }

bool KestrelApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ReportFailure(QString::fromUtf8(e.what()));
  } catch (...) {
    ReportFailure(QStringLiteral("Неизвестная ошибка."));
  }
  return false;
}

void KestrelApplication::ReportFailure(const QString& text) {
  WriteLogLine(LogPriority::Error, text.toStdString());
  try {
    if (report_) report_(text);
  } catch (...) {
    // Showing the failure failed as well; standard error has it.
  }
}

void KestrelApplication::ShowFailureBox(const QString& text) {
  // One box per text at a time: a failure that repeats every tick must not flood
  // the screen with boxes.
  for (QWidget* w : topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box != nullptr && box->isVisible() && box->text() == text) return;
  }
  auto* box = new QMessageBox(QMessageBox::Critical, Title(), text, QMessageBox::Ok);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

namespace {

void ReportUnhandled(const QString& text) {
  if (auto* app = qobject_cast<KestrelApplication*>(QCoreApplication::instance())) {
    app->ReportFailure(text);
    return;
  }
  WriteLogLine(LogPriority::Error, text.toStdString());
}

}  // namespace

void RunGuarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ReportUnhandled(QString::fromUtf8(e.what()));
  } catch (...) {
    ReportUnhandled(QStringLiteral("Неизвестная ошибка."));
  }
}

}  // namespace kestrel
