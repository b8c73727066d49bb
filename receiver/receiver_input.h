#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/operator_log.h"
#include "platform/report_once.h"
#include "receiver/line_assembler.h"
#include "receiver/raw_log.h"
#include "receiver/receiver_frame.h"
#include "receiver/transmitter_table.h"

namespace kestrel {

// The receive buffer of one read from the port: the size of its input queue.
inline constexpr std::size_t kReceiveBufferSize = 2048;

// What the serial port's characters-received notification does: stamps the time of
// the last receiver data, appends the raw bytes to the raw log when it is on,
// assembles lines, decodes each, finds or adds the transmitter, and hands the frame
// to the event rules. Runs on the window thread only.
class ReceiverInput {
 public:
  // Gets each decoded frame with its transmitter's record and position (ApplyFrame).
  using FrameHandler = std::function<void(const ReceiverFrame&, const FoundTransmitter&)>;
  // Reads up to `max` bytes waiting at the port into buf; returns how many it read.
  using PortRead = std::function<std::size_t(std::uint8_t* buf, std::size_t max)>;

  // rawLog is null when the settings key Log is off. LastDataTime and LastDataTick
  // start at the clock's present values.
  ReceiverInput(TransmitterTable& table, RawLog* rawLog, const Clock& clock, OperatorLog& log,
                FrameHandler onFrame);

  void SetFrameHandler(FrameHandler onFrame) { onFrame_ = std::move(onFrame); }

  // The port reports Count bytes waiting. They are read in reads of at most 2048
  // bytes until Count have been read or the port has no more, and all are decoded in
  // order; each line is handled completely before the next byte is looked at.
  // Nothing escapes: this is the boundary of the port's handler. A failing line is
  // reported and the next lines are handled; a failing read ends the notification.
  void ComPort1RxChar(int Count, const PortRead& read) noexcept;

  // Local date-time of the latest notification, whatever its bytes were.
  DateTime LastDataTime() const { return LastDataTime_; }
  // Millisecond tick (monotonic) of the latest notification, for the link watchdog.
  std::uint32_t LastDataTick() const { return LastDataTick_; }

  // Reception resets it when it opens the port.
  LineAssembler& Assembler() { return assembler_; }
  const LineAssembler& Assembler() const { return assembler_; }

 private:
  void HandleLine(ByteView line) noexcept;
  // Runs work; what it throws is told as "<failure>: <what>" ("<failure>." for a
  // throw that is no exception class) once, until a line is handled without
  // failure. True when the work ended normally.
  template <class Work>
  bool Guarded(const char* failure, Work&& work) noexcept {
    try {
      std::forward<Work>(work)();
      return true;
    } catch (...) {
      ReportFailure(failure, CurrentExceptionText(nullptr));
      return false;
    }
  }
  void ReportFailure(const char* failure, const char* what) noexcept;

  TransmitterTable& table_;
  RawLog* rawLog_;
  const Clock& clock_;
  FrameHandler onFrame_;
  LineAssembler assembler_;
  DateTime LastDataTime_ = 0;
  std::uint32_t LastDataTick_ = 0;
  // Failures told; the same text is not told again until a line has been handled
  // without failure.
  ReportOnce failures_;
};

}  // namespace kestrel
