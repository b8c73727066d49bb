#include "platform/caught_reports.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "tests/support/recording_operator_log.h"

namespace kestrel {
namespace {

using ::testing::ElementsAre;

void Throwing(CaughtReports& reports, const char* where, const std::function<void()>& fn) {
  try {
    fn();
  } catch (...) {
    reports.Report(where);
  }
}

TEST(CaughtReportsTest, EachDistinctFailureIsToldOnce) {
  test::RecordingOperatorLog log;
  CaughtReports reports(log);
  for (int i = 0; i < 3; ++i) {
    Throwing(reports, "чтение", [] { throw std::runtime_error("timeout"); });
    Throwing(reports, "чтение", [] { throw 42; });
    Throwing(reports, "запись", [] { throw std::runtime_error("timeout"); });
  }
  EXPECT_THAT(log.Lines(), ElementsAre("Сбой связи с сервером (чтение): timeout.",
                                       "Сбой связи с сервером (чтение): неизвестная ошибка.",
                                       "Сбой связи с сервером (запись): timeout."));
}

TEST(CaughtReportsTest, ManyDistinctFailuresDoNotFloodTheLog) {
  test::RecordingOperatorLog log;
  CaughtReports reports(log);
  for (std::size_t i = 0; i < 3 * CaughtReports::kMaxDistinct; ++i) {
    Throwing(reports, "шаг", [i] { throw std::runtime_error(std::to_string(i)); });
  }
  EXPECT_EQ(log.Lines().size(), CaughtReports::kMaxDistinct);
}

}  // namespace
}  // namespace kestrel
