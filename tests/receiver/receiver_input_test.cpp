#include "receiver/receiver_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using Op = test::FaultyFileSystem::Op;

struct Seen {
  ReceiverFrame frame;
  FoundTransmitter found;
  std::size_t tableCount;  // records in the table while the frame was handled
};

class ReceiverInputTest : public ::testing::Test {
 protected:
  ReceiverInputTest() { table_.LoadTable(); }

  void UseRawLog() {
    raw_ = std::make_unique<RawLog>(dir_ / kRawLogFileName, fs_, log_);
    input_ = MakeInput(raw_.get());
  }
  std::unique_ptr<ReceiverInput> MakeInput(RawLog* raw) {
    return std::make_unique<ReceiverInput>(
        table_, raw, clock_, log_, [this](const ReceiverFrame& f, const FoundTransmitter& t) {
          seen_.push_back({f, t, table_.Count()});
        });
  }

  // One notification: the port holds `bytes` and reports `count` of them waiting
  // (all of them when count is negative). Returns the sizes asked by each read.
  std::vector<std::size_t> Notify(const std::string& bytes, int count = -1) {
    std::vector<std::size_t> asked;
    std::size_t offset = 0;
    input_->ComPort1RxChar(count < 0 ? static_cast<int>(bytes.size()) : count,
                           [&](std::uint8_t* buf, std::size_t max) {
                             asked.push_back(max);
                             const std::size_t n = std::min(max, bytes.size() - offset);
                             std::copy_n(bytes.data() + offset, n, buf);
                             offset += n;
                             return n;
                           });
    return asked;
  }

  std::vector<ReceiverFrame> Frames() const {
    std::vector<ReceiverFrame> out;
    for (const auto& s : seen_) out.push_back(s.frame);
    return out;
  }

  test::TempDir dir_;
  test::FaultyFileSystem fs_;
  test::FakeClock clock_{46000.5, 5000};
  test::RecordingOperatorLog log_;
  TransmitterTable table_{dir_ / "num.mmm", fs_, clock_, log_};
  std::unique_ptr<RawLog> raw_;
  std::vector<Seen> seen_;
  std::unique_ptr<ReceiverInput> input_ = MakeInput(nullptr);
};

const ReceiverFrame kFrame{0x0A, 0x1B, 0x2C, 0x03, 0x84};

TEST_F(ReceiverInputTest, LineBecomesAFrameWithItsTransmitter) {
  Notify("0A1B2C0384\r\n");
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].frame, kFrame);
  EXPECT_EQ(seen_[0].frame.Id(), 0x0A1B2Cu);
  EXPECT_TRUE(seen_[0].found.added);
  EXPECT_EQ(seen_[0].found.position, 0u);
  EXPECT_EQ(seen_[0].found.record.Id(), 0x0A1B2Cu);

  Notify("0a1b2c0384x\n");
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[1].frame, kFrame);
  EXPECT_FALSE(seen_[1].found.added);
  EXPECT_EQ(table_.Count(), 1u);
}

TEST_F(ReceiverInputTest, LinesAreHandledOneAfterTheOther) {
  // The second line's transmitter is not yet in the table while the first is handled.
  Notify("0000010000\r\n0000020000\r\n");
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[0].frame.Id(), 1u);
  EXPECT_EQ(seen_[0].tableCount, 1u);
  EXPECT_EQ(seen_[1].frame.Id(), 2u);
  EXPECT_EQ(seen_[1].tableCount, 2u);
}

TEST_F(ReceiverInputTest, BadHexInIdDropsTheLineBeforeTheTable) {
  Notify("G A1B2C0384\r\n0A1B2C0384\r\n");
  EXPECT_EQ(Frames(), std::vector<ReceiverFrame>{kFrame});
  EXPECT_EQ(table_.Count(), 1u);
}

TEST_F(ReceiverInputTest, BadHexInStatusKeepsTheNewRecordButRaisesNothing) {
  clock_.SetNow(46100.75);
  Notify("0A1B2C03Z4\r\n");
  EXPECT_TRUE(seen_.empty());
  ASSERT_EQ(table_.Count(), 1u);
  EXPECT_EQ(table_.RecordAt(0), (TransmitterRecord{0x2C, 0x1B, 0x0A, 1, 0, 132, 46100.75, 0}));
  EXPECT_EQ(test::ReadFileBytes(table_.File()), table_.Image());
}

TEST_F(ReceiverInputTest, LongNotificationIsReadInPiecesAndDecodedInOrder) {
  std::string bytes;
  for (int i = 0; i < 500; ++i) {
    char line[16];
    std::snprintf(line, sizeof line, "%06X0000\r\n", i);
    bytes += line;
  }
  bytes += "0000";  // 6004 bytes, ending in a partial line
  const auto asked = Notify(bytes);
  EXPECT_EQ(asked, (std::vector<std::size_t>{2048, 2048, 1908}));
  ASSERT_EQ(seen_.size(), 500u);
  for (std::size_t i = 0; i < seen_.size(); ++i) EXPECT_EQ(seen_[i].frame.Id(), i);
  EXPECT_EQ(input_->Assembler().LineIndex(), 5);
}

TEST_F(ReceiverInputTest, PortWithFewerBytesThanReportedEndsTheNotification) {
  const auto asked = Notify("0A1B2C0384\r\n", 5000);
  EXPECT_EQ(asked, (std::vector<std::size_t>{2048, 2048}));
  EXPECT_EQ(Frames(), std::vector<ReceiverFrame>{kFrame});
}

TEST_F(ReceiverInputTest, EveryNotificationStampsTheTime) {
  EXPECT_EQ(input_->LastDataTime(), 46000.5);
  EXPECT_EQ(input_->LastDataTick(), 5000u);
  clock_.AdvanceMs(1500);
  Notify("0A1B");  // no line feed: only the time and the partial line change
  EXPECT_EQ(input_->LastDataTime(), clock_.Now());
  EXPECT_EQ(input_->LastDataTick(), 6500u);
  EXPECT_EQ(input_->Assembler().LineIndex(), 5);
  EXPECT_EQ(table_.Count(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / kRawLogFileName));
}

TEST_F(ReceiverInputTest, RawLogGetsEveryByteBeforeDecoding) {
  UseRawLog();
  const std::vector<std::string> notes = {"0A1B2", "C0384\r\n\n", "junk\r\n", "0A1B2C0384x\n"};
  std::string all;
  for (const auto& n : notes) {
    Notify(n);
    all += n;
  }
  EXPECT_EQ(test::ReadFileText(dir_ / kRawLogFileName), all);
  EXPECT_EQ(seen_.size(), 2u);
}

TEST_F(ReceiverInputTest, RawLogFailureDoesNotStopDecoding) {
  UseRawLog();
  fs_.Fail(Op::Append, kRawLogFileName);
  Notify("0A1B2C0384\r\n");
  Notify("0A1B2C0384\r\n");
  EXPECT_EQ(seen_.size(), 2u);
  EXPECT_EQ(log_.Lines(),
            std::vector<std::string>{"Не удалось записать журнал приёма (drvkestrel.log)."});
}

TEST_F(ReceiverInputTest, FailingFrameHandlerIsReportedOnceAndLaterLinesGoOn) {
  int calls = 0;
  input_->SetFrameHandler([&](const ReceiverFrame& f, const FoundTransmitter&) {
    ++calls;
    if (f.Status1 == 0xEE) throw std::runtime_error("rule failed");
  });
  Notify("000001EE00\r\n000001EE00\r\n0A1B2C0384\r\n");
  Notify("000001EE00\r\n");
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(log_.Lines(),
            (std::vector<std::string>{"Ошибка обработки строки приёмника: rule failed",
                                      "Ошибка обработки строки приёмника: rule failed"}));
}

// Failures of different lines alternating (two rules failing in turn) are each told
// once, not at every change of text.
TEST_F(ReceiverInputTest, AlternatingFailuresAreEachToldOnceUntilALineIsHandled) {
  input_->SetFrameHandler([&](const ReceiverFrame& f, const FoundTransmitter&) {
    if (f.Status1 == 0xEE) throw std::runtime_error("rule E");
    if (f.Status1 == 0xDD) throw std::runtime_error("rule D");
  });
  Notify("000001EE00\r\n000001DD00\r\n000001EE00\r\n000001DD00\r\n");
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"Ошибка обработки строки приёмника: rule E",
                                                    "Ошибка обработки строки приёмника: rule D"}));
  Notify("0A1B2C0384\r\n000001DD00\r\n");
  EXPECT_EQ(log_.Lines().size(), 3u);
  EXPECT_EQ(log_.Lines().back(), "Ошибка обработки строки приёмника: rule D");
}

TEST_F(ReceiverInputTest, FailingPortReadIsReportedAndTheNextNotificationWorks) {
  input_->ComPort1RxChar(12, [](std::uint8_t*, std::size_t) -> std::size_t {
    throw std::runtime_error("device gone");
  });
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Ошибка чтения порта приёмника: device gone"});
  Notify("0A1B2C0384\r\n");
  EXPECT_EQ(Frames(), std::vector<ReceiverFrame>{kFrame});
}

TEST_F(ReceiverInputTest, FailedTableSaveStillHandsTheFrameOn) {
  fs_.Fail(Op::WriteAt);
  fs_.Fail(Op::Replace);
  Notify("0A1B2C0384\r\n");
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_TRUE(seen_[0].found.added);
  EXPECT_EQ(log_.Lines(),
            std::vector<std::string>{"Не удалось сохранить таблицу передатчиков (num.mmm)."});
}

}  // namespace
}  // namespace kestrel
