#include "window/time_text.h"

#include <QDate>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

namespace kestrel {

QString LongTimeFormat() {
  // Made once: the elapsed time is shown every second, and the expression is
  // costly to build.
  static const QString kFormat = [] {
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    // Drop the time zone ("t", with the blanks around it): a span has none.
    format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
    if (!format.contains(QLatin1Char('s'))) format = QStringLiteral("HH:mm:ss");
    return format.trimmed();
  }();
  return kFormat;
}

QString ElapsedText(std::uint32_t elapsedMs) {
  const std::uint32_t dayMs = 24u * 60u * 60u * 1000u;
  const QTime t = QTime::fromMSecsSinceStartOfDay(static_cast<int>(elapsedMs % dayMs));
  return QLocale::system().toString(t, LongTimeFormat());
}

QString DateTimeText(DateTime t) {
  const DateTimeFields f = DecodeDateTime(t);
  const QLocale locale = QLocale::system();
  return locale.toString(QDate(f.year, f.month, f.day), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(QTime(f.hour, f.minute, f.second, f.millisecond), LongTimeFormat());
}

}  // namespace kestrel
