#include "window/memo_operator_log.h"

#include <QMetaObject>
#include <QThread>

#include "platform/no_throw.h"

namespace kestrel {

MemoOperatorLog::MemoOperatorLog(QObject* parent) : QObject(parent) {}

void MemoOperatorLog::Report(const std::string& line) noexcept {
  stderr_.Report(line);
  Show(line);
}

void MemoOperatorLog::Notice(const std::string& line) noexcept {
  stderr_.Notice(line);
  Show(line);
}

void MemoOperatorLog::Warning(const std::string& line) noexcept {
  stderr_.Warning(line);
  Show(line);
}

// The line is on standard error already: when showing it fails (out of memory),
// that is where it stays.
void MemoOperatorLog::Show(const std::string& line) noexcept {
  NoThrow([&] {
    const QString text = QString::fromStdString(line);
    if (QThread::currentThread() == thread()) {
      Append(text);
    } else {
      QMetaObject::invokeMethod(
          this, [this, text] { Append(text); }, Qt::QueuedConnection);
    }
  });
}

void MemoOperatorLog::Append(const QString& line) {
  if (memo_) memo_->appendPlainText(line);
}

}  // namespace kestrel
