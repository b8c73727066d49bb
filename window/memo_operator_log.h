#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <string>

#include "platform/operator_log.h"

namespace kestrel {

// The operator log of the lower layers (table, raw log, spool files, link): every
// line goes to standard error and, as a new last line, to the window's log area.
// May be called from any thread; lines from other threads are passed to the
// window thread without waiting for it.
class MemoOperatorLog final : public QObject, public OperatorLog {
  Q_OBJECT
 public:
  explicit MemoOperatorLog(QObject* parent = nullptr);

  // The log area; lines reported before it is set go to standard error only.
  void SetMemo(QPlainTextEdit* memo) { memo_ = memo; }
  void Report(const std::string& line) noexcept override;
  void Notice(const std::string& line) noexcept override;
  void Warning(const std::string& line) noexcept override;

 private:
  void Show(const std::string& line) noexcept;
  void Append(const QString& line);

  QPointer<QPlainTextEdit> memo_;
  StderrOperatorLog stderr_;
};

}  // namespace kestrel
