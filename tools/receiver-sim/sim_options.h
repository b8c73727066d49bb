#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/receiver-sim/report_generator.h"

namespace kestrel::sim {

struct SimOptions {
  std::filesystem::path workdir = ".";
  std::string port = "COM1";
  std::filesystem::path device;  // when set: write there instead of making a pseudo-terminal
  int baud = 9600;               // pacing by line speed: 12 bytes of 10 bits per line
  double rate = 0;               // lines per second; 0 = as fast as the line speed allows
  long long count = -1;          // lines to send; -1 = until stopped (or the script ends)
  std::filesystem::path script;  // file of lines to send, with "sleep <ms>" lines between
  bool echo = false;
  bool stay = false;       // after the last line, keep the line open until stopped
  int startDelayMs = 0;    // wait before the first line (after the ready line)
  bool waitStart = false;  // wait for SIGUSR1 before the first line
  GeneratorSettings generator;
};

// Parses the command line. On a bad option returns nothing and fills `error`;
// `--help` returns nothing with an empty error and `help` set.
std::optional<SimOptions> ParseOptions(const std::vector<std::string>& args, std::string& error,
                                       bool& help);
std::string UsageText();

// One step of a script: a line to send, or a pause.
struct ScriptStep {
  bool isSleep = false;
  int sleepMs = 0;
  std::string text;  // sent followed by CR LF
};
// Reads a script: blank lines and lines starting with '#' are skipped; "sleep <ms>" pauses;
// any other line is sent as it is (trailing spaces removed). False with `error`.
bool ReadScript(const std::filesystem::path& file, std::vector<ScriptStep>& steps,
                std::string& error);

}  // namespace kestrel::sim
