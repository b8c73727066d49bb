#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kestrel::sim {

// How the status bytes of the simulated transmitters change from report to report.
enum class Pattern {
  Random,     // random changes of the tested bits, drawn from the seed
  Alternate,  // Status1 0, Status2 alternating 00 / 0C: every report raises exactly one event
};

struct GeneratorSettings {
  int transmitters = 10;
  std::uint32_t firstId = 0x100001;
  int silent = 0;  // the last `silent` transmitters report in the first round only
  int malformedPercent = 0;
  Pattern pattern = Pattern::Random;
  std::uint32_t seed = 1;
};

// One line to send: the text before CR LF. `valid` is false for deliberately malformed lines.
struct Report {
  std::string text;
  bool valid = true;
};

// Produces receiver lines for N transmitters, round robin, with status changes drawn
// from a seeded generator so that runs repeat.
class ReportGenerator {
 public:
  explicit ReportGenerator(const GeneratorSettings& settings);
  // False when every transmitter is silent after the first round.
  bool HasMore() const;
  Report Next();

 private:
  struct Transmitter {
    std::uint32_t id = 0;
    std::uint8_t status1 = 0;
    std::uint8_t status2 = 0;
    int reports = 0;
  };
  bool Active(const Transmitter& t) const;
  void Change(Transmitter& t);
  Report Malformed(const Transmitter& t);

  GeneratorSettings settings_;
  std::vector<Transmitter> transmitters_;
  std::size_t next_ = 0;
  std::mt19937 random_;
};

// Ten upper-case hex digits: id (6), Status1 (2), Status2 (2).
std::string FormatReport(std::uint32_t id, std::uint8_t status1, std::uint8_t status2);

}  // namespace kestrel::sim
