#include "receiver/event_rules.h"

namespace kestrel {

namespace {

bool BitSet(std::uint8_t value, std::uint8_t bit) { return ((value >> bit) & 1u) != 0; }

bool Rises(std::uint8_t before, std::uint8_t now, std::uint8_t bit) {
  return !BitSet(before, bit) && BitSet(now, bit);
}

std::uint8_t StatusByte(std::uint8_t which, std::uint8_t status1, std::uint8_t status2) {
  return which == 1 ? status1 : status2;
}

bool Applies(const StatusBitRule& rule, const ReceiverFrame& frame,
             const TransmitterRecord& record) {
  const std::uint8_t before = StatusByte(rule.statusByte, record.Status1, record.Status2);
  const std::uint8_t now = StatusByte(rule.statusByte, frame.Status1, frame.Status2);
  return rule.change == BitChange::Rises ? Rises(before, now, rule.bit)
                                         : Rises(now, before, rule.bit);
}

}  // namespace

// Orders 5 to 14: each tested Status1 bit, rising then falling.
const std::array<StatusBitRule, 10> kStatus1Rules = {{
    {1, 6, BitChange::Rises, "41"},
    {1, 6, BitChange::Falls, "51"},
    {1, 1, BitChange::Rises, "42"},
    {1, 1, BitChange::Falls, "52"},
    {1, 3, BitChange::Rises, "43"},
    {1, 3, BitChange::Falls, "53"},
    {1, 5, BitChange::Rises, "44"},
    {1, 5, BitChange::Falls, "54"},
    {1, 2, BitChange::Rises, "45"},
    {1, 2, BitChange::Falls, "55"},
}};

void ApplyFrame(const ReceiverFrame& frame, const FoundTransmitter& found, EventContext& ctx) {
  const TransmitterRecord& before = found.record;
  const TransmitterId id = frame.Id();
  const std::uint8_t statusFlag = BitSet(frame.Status2, 7) ? 1 : 0;
  const auto Raise = [&ctx, id, statusFlag](const char* code) {
    RaiseEvent(ctx, id, code, statusFlag);
  };

  // Orders 1 to 4: Status2 bits 2 and 3. "39" and "31" test the report alone and
  // come with every report that meets them; at most one of the four applies.
  const bool bit2 = BitSet(frame.Status2, 2);
  const bool bit3 = BitSet(frame.Status2, 3);
  if (!bit2 && !bit3) Raise("39");
  if (bit2 && bit3) {
    Raise("31");
  } else {
    if (Rises(before.Status2, frame.Status2, 2)) Raise("37");
    if (Rises(before.Status2, frame.Status2, 3)) Raise("38");
  }

  for (const StatusBitRule& rule : kStatus1Rules) {
    if (Applies(rule, frame, before)) Raise(rule.code);
  }

  TransmitterRecord after = before;
  after.Status1 = frame.Status1;
  after.Status2 = frame.Status2;
  // Order 15: heard again after a no-test event.
  if (after.NoTestFlag != 0) {
    after.NoTestFlag = 0;
    Raise("71");
  }
  after.LastHeard = ctx.clock.Now();
  ctx.table.WriteBack(found.position, after);
}

}  // namespace kestrel
