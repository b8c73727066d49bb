#pragma once

#include <array>
#include <cstdint>

#include "receiver/event_context.h"
#include "receiver/receiver_frame.h"
#include "receiver/transmitter_table.h"

namespace kestrel {

enum class BitChange : std::uint8_t { Rises, Falls };

// A rule that fires when one status bit changes against the stored record.
struct StatusBitRule {
  std::uint8_t statusByte;  // 1: Status1, 2: Status2
  std::uint8_t bit;         // 0 (value 1) to 7 (value 128)
  BitChange change;
  char code[3];  // two characters
};

// The Status1 rules, in the order they are tested (after the Status2 rules).
extern const std::array<StatusBitRule, 10> kStatus1Rules;

// Raises the events of one decoded report, in rule order, then stores the report
// in the transmitter's record ("71" first clears a pending no-test flag), stamps
// LastHeard and writes the record back. `found` is what FindOrAdd returned for the
// frame's transmitter, before this report.
void ApplyFrame(const ReceiverFrame& frame, const FoundTransmitter& found, EventContext& ctx);

}  // namespace kestrel
