#include "receiver/receiver_input.h"

#include <algorithm>
#include <array>
#include <utility>

#include "receiver/line_decoder.h"

namespace kestrel {

ReceiverInput::ReceiverInput(TransmitterTable& table, RawLog* rawLog, const Clock& clock,
                             OperatorLog& log, FrameHandler onFrame)
    : table_(table),
      rawLog_(rawLog),
      clock_(clock),
      onFrame_(std::move(onFrame)),
      LastDataTime_(clock.Now()),
      LastDataTick_(clock.TickMs()),
      failures_(log) {}

void ReceiverInput::ComPort1RxChar(int Count, const PortRead& read) noexcept {
  Guarded("Ошибка обработки данных приёмника", [&] {
    LastDataTime_ = clock_.Now();
    LastDataTick_ = clock_.TickMs();

    std::array<std::uint8_t, kReceiveBufferSize> buffer;
    std::size_t remaining = Count > 0 ? static_cast<std::size_t>(Count) : 0;
    while (remaining > 0) {
      const std::size_t want = std::min(remaining, buffer.size());
      std::size_t got = 0;
      if (!Guarded("Ошибка чтения порта приёмника",
                   [&] { got = read ? read(buffer.data(), want) : 0; })) {
        return;
      }
      if (got == 0) return;  // the port has no more for now
      got = std::min(got, want);
      remaining -= got;
      const ByteView chunk(buffer.data(), got);
      // The raw log comes before decoding, so bytes that never form a line are
      // logged too; its failures never keep the bytes from being decoded.
      if (rawLog_ != nullptr) {
        Guarded("Ошибка обработки данных приёмника", [&] { rawLog_->Append(chunk); });
      }
      assembler_.Feed(chunk, [this](ByteView line) { HandleLine(line); });
    }
  });
}

void ReceiverInput::HandleLine(ByteView line) noexcept {
  bool handled = false;
  Guarded("Ошибка обработки строки приёмника", [&] {
    ReceiverFrame frame;
    if (!DecodeLineId(line, frame)) return;
    const FoundTransmitter found = table_.FindOrAdd(frame.Id());
    // A status that does not decode drops the line here; a record just added for a
    // new transmitter stays with its initial values.
    if (!DecodeLineStatus(line, frame)) return;
    if (onFrame_) onFrame_(frame, found);
    handled = true;
  });
  if (handled) failures_.AllOver();
}

void ReceiverInput::ReportFailure(const char* failure, const char* what) noexcept {
  if (what != nullptr) {
    failures_.Failed({}, {failure, ": ", what});
  } else {
    failures_.Failed({}, {failure, "."});
  }
}

}  // namespace kestrel
