#include "tools/receiver-sim/report_generator.h"

#include <cstdio>

namespace kestrel::sim {

std::string FormatReport(std::uint32_t id, std::uint8_t status1, std::uint8_t status2) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%06X%02X%02X", static_cast<unsigned>(id & 0xFFFFFF),
                static_cast<unsigned>(status1), static_cast<unsigned>(status2));
  return buf;
}

ReportGenerator::ReportGenerator(const GeneratorSettings& settings)
    : settings_(settings), random_(settings.seed) {
  for (int i = 0; i < settings_.transmitters; ++i) {
    Transmitter t;
    t.id = (settings_.firstId + static_cast<std::uint32_t>(i)) & 0xFFFFFF;
    // Start where a freshly added table record starts, so the first report is plain.
    t.status1 = 0;
    t.status2 = settings_.pattern == Pattern::Alternate ? 0x0C : 0x84;
    transmitters_.push_back(t);
  }
}

bool ReportGenerator::Active(const Transmitter& t) const {
  const auto index = static_cast<int>(&t - transmitters_.data());
  return index < settings_.transmitters - settings_.silent || t.reports == 0;
}

bool ReportGenerator::HasMore() const {
  for (const auto& t : transmitters_) {
    if (Active(t)) return true;
  }
  return false;
}

void ReportGenerator::Change(Transmitter& t) {
  if (settings_.pattern == Pattern::Alternate) {
    t.status1 = 0;
    t.status2 = t.status2 == 0 ? 0x0C : 0x00;
    return;
  }
  std::uniform_int_distribution<int> percent(0, 99);
  // Tested bits of Status1: 1, 2, 3, 5, 6; untested 0, 4, 7 change as noise.
  static constexpr int kStatus1Bits[] = {1, 2, 3, 5, 6, 0, 4, 7};
  if (percent(random_) < 40) {
    const int bit = kStatus1Bits[std::uniform_int_distribution<int>(0, 7)(random_)];
    t.status1 = static_cast<std::uint8_t>(t.status1 ^ (1u << bit));
  }
  if (percent(random_) < 40) {
    static constexpr std::uint8_t kPairs[] = {0x00, 0x04, 0x08, 0x0C};
    t.status2 = static_cast<std::uint8_t>(
        (t.status2 & ~0x0Cu) | kPairs[std::uniform_int_distribution<int>(0, 3)(random_)]);
  }
  if (percent(random_) < 20) t.status2 = static_cast<std::uint8_t>(t.status2 ^ 0x80);
  if (percent(random_) < 10) t.status2 = static_cast<std::uint8_t>(t.status2 ^ 0x02);
}

Report ReportGenerator::Malformed(const Transmitter& t) {
  std::string text = FormatReport(t.id, t.status1, t.status2);
  switch (std::uniform_int_distribution<int>(0, 3)(random_)) {
    case 0:
      text[0] = 'G';  // bad id character: dropped before the table is touched
      break;
    case 1:
      text[8] = 'Z';  // bad status character
      break;
    case 2:
      text.pop_back();  // one byte short
      break;
    default:
      text += "0";  // one byte long
      break;
  }
  return {text, false};
}

Report ReportGenerator::Next() {
  for (std::size_t tries = 0; tries < transmitters_.size(); ++tries) {
    Transmitter& t = transmitters_[next_];
    next_ = (next_ + 1) % transmitters_.size();
    if (!Active(t)) continue;
    if (settings_.malformedPercent > 0 &&
        std::uniform_int_distribution<int>(0, 99)(random_) < settings_.malformedPercent) {
      return Malformed(t);
    }
    Change(t);
    ++t.reports;
    return {FormatReport(t.id, t.status1, t.status2), true};
  }
  return {"", false};
}

}  // namespace kestrel::sim
