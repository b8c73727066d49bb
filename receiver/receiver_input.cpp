#include "receiver/receiver_input.h"

#include <algorithm>
#include <array>
#include <exception>
#include <utility>

#include "receiver/line_decoder.h"

namespace kestrel {

ReceiverInput::ReceiverInput(TransmitterTable& table, RawLog* rawLog, const Clock& clock,
                             OperatorLog& log, FrameHandler onFrame)
    : table_(table),
      rawLog_(rawLog),
      clock_(clock),
      log_(log),
      onFrame_(std::move(onFrame)),
      LastDataTime_(clock.Now()),
      LastDataTick_(clock.TickMs()) {}

void ReceiverInput::ComPort1RxChar(int Count, const PortRead& read) {
  try {
    LastDataTime_ = clock_.Now();
    LastDataTick_ = clock_.TickMs();
  } catch (...) {
    // A clock that fails leaves the previous stamp; the bytes are still handled.
  }

  std::array<std::uint8_t, kReceiveBufferSize> buffer;
  std::size_t remaining = Count > 0 ? static_cast<std::size_t>(Count) : 0;
  while (remaining > 0) {
    const std::size_t want = std::min(remaining, buffer.size());
    std::size_t got = 0;
    try {
      got = read ? read(buffer.data(), want) : 0;
    } catch (const std::exception& e) {
      ReportFailure(std::string("Ошибка чтения порта приёмника: ") + e.what());
      return;
    } catch (...) {
      ReportFailure("Ошибка чтения порта приёмника.");
      return;
    }
    if (got == 0) return;  // the port has no more for now
    got = std::min(got, want);
    remaining -= got;
    const ByteView chunk(buffer.data(), got);

    try {
      // The raw log comes before decoding, so bytes that never form a line are
      // logged too; its failures never keep the bytes from being decoded.
      if (rawLog_ != nullptr) rawLog_->Append(chunk);
      assembler_.Feed(chunk, [this](ByteView line) { HandleLine(line); });
    } catch (...) {
      // HandleLine catches its own failures; this only guards the rest.
      ReportFailure("Ошибка обработки данных приёмника.");
    }
  }
}

void ReceiverInput::HandleLine(ByteView line) {
  try {
    ReceiverFrame frame;
    if (!DecodeLineId(line, frame)) return;
    const FoundTransmitter found = table_.FindOrAdd(frame.Id());
    // A status that does not decode drops the line here; a record just added for a
    // new transmitter stays with its initial values.
    if (!DecodeLineStatus(line, frame)) return;
    if (onFrame_) onFrame_(frame, found);
    lastFailure_.clear();
  } catch (const std::exception& e) {
    ReportFailure(std::string("Ошибка обработки строки приёмника: ") + e.what());
  } catch (...) {
    ReportFailure("Ошибка обработки строки приёмника.");
  }
}

void ReceiverInput::ReportFailure(const std::string& what) {
  if (what == lastFailure_) return;
  lastFailure_ = what;
  try {
    log_.Report(what);
  } catch (...) {
    // Nothing more can be done; reception goes on.
  }
}

}  // namespace kestrel
