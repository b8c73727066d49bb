#include "tools/receiver-sim/sim_options.h"

#include <charconv>
#include <fstream>
#include <type_traits>

namespace kestrel::sim {

namespace {

template <typename T>
bool ParseNumber(const std::string& text, T& value, int base = 10) {
  const char* end = text.data() + text.size();
  if constexpr (std::is_floating_point_v<T>) {
    auto r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc() && r.ptr == end;
  } else {
    auto r = std::from_chars(text.data(), end, value, base);
    return r.ec == std::errc() && r.ptr == end;
  }
}

}  // namespace

std::string UsageText() {
  return R"(receiver-sim: stands in for the radio receiver on a serial line.

Makes a pseudo-terminal and links <workdir>/ports/<name> to it (or writes to --device),
prints "ready <path>", then sends receiver lines (ten upper-case hex digits, CR, LF).

  --workdir DIR        working directory of the driver (default .)
  --port NAME          port name linked under DIR/ports (default COM1)
  --device PATH        write to this device instead of making a pseudo-terminal
  --baud 2400|9600     line speed used for pacing, 10 bits per byte (default 9600: 80 lines/s)
  --rate R             lines per second (default: as fast as the line speed allows)
  --transmitters N     number of transmitters (default 10)
  --first-id HEX       number of the first transmitter; the others follow (default 100001)
  --silent K           the last K transmitters report once, then stay silent
  --malformed P        percentage of malformed lines (default 0)
  --pattern random|alternate
                       random: status changes drawn from the seed (default);
                       alternate: Status1 00, Status2 00/0C in turn (one event per report)
  --seed S             seed of the status changes (default 1)
  --script FILE        send the lines of FILE ("sleep <ms>" lines pause) instead
  --count N            send N lines, then exit (default: until SIGTERM/SIGINT)
  --start-delay-ms MS  pause after the ready line before the first line
  --wait-start         wait for SIGUSR1 before the first line (after the ready line)
  --stay               after the last line, keep the line open until SIGTERM/SIGINT
  --echo               print "<unix time, 6 decimals> <line>" for every line sent
  --help               this text
)";
}

std::optional<SimOptions> ParseOptions(const std::vector<std::string>& args, std::string& error,
                                       bool& help) {
  SimOptions o;
  help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = "missing value for " + a;
        return false;
      }
      out = args[++i];
      return true;
    };
    auto number = [&](auto& out, int base = 10) {
      std::string v;
      if (!value(v)) return false;
      if (!ParseNumber(v, out, base)) {
        error = "bad value for " + a + ": " + v;
        return false;
      }
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      help = true;
      return std::nullopt;
    } else if (a == "--workdir") {
      if (!value(v)) return std::nullopt;
      o.workdir = v;
    } else if (a == "--port") {
      if (!value(v)) return std::nullopt;
      if (v.empty() || v.find('/') != std::string::npos) {
        error = "bad port name: " + v;
        return std::nullopt;
      }
      o.port = v;
    } else if (a == "--device") {
      if (!value(v)) return std::nullopt;
      o.device = v;
    } else if (a == "--baud") {
      if (!number(o.baud)) return std::nullopt;
      if (o.baud != 2400 && o.baud != 9600) {
        error = "--baud must be 2400 or 9600";
        return std::nullopt;
      }
    } else if (a == "--rate") {
      if (!number(o.rate)) return std::nullopt;
      if (!(o.rate > 0)) {
        error = "--rate must be above 0";
        return std::nullopt;
      }
    } else if (a == "--transmitters") {
      if (!number(o.generator.transmitters)) return std::nullopt;
      if (o.generator.transmitters < 1 || o.generator.transmitters > 0x1000000) {
        error = "--transmitters must be 1 or more";
        return std::nullopt;
      }
    } else if (a == "--first-id") {
      if (!number(o.generator.firstId, 16)) return std::nullopt;
      if (o.generator.firstId > 0xFFFFFF) {
        error = "--first-id must fit in 24 bits";
        return std::nullopt;
      }
    } else if (a == "--silent") {
      if (!number(o.generator.silent)) return std::nullopt;
      if (o.generator.silent < 0) {
        error = "--silent must not be negative";
        return std::nullopt;
      }
    } else if (a == "--malformed") {
      if (!number(o.generator.malformedPercent)) return std::nullopt;
      if (o.generator.malformedPercent < 0 || o.generator.malformedPercent > 100) {
        error = "--malformed must be 0 to 100";
        return std::nullopt;
      }
    } else if (a == "--pattern") {
      if (!value(v)) return std::nullopt;
      if (v == "random") {
        o.generator.pattern = Pattern::Random;
      } else if (v == "alternate") {
        o.generator.pattern = Pattern::Alternate;
      } else {
        error = "--pattern must be random or alternate";
        return std::nullopt;
      }
    } else if (a == "--seed") {
      if (!number(o.generator.seed)) return std::nullopt;
    } else if (a == "--script") {
      if (!value(v)) return std::nullopt;
      o.script = v;
    } else if (a == "--count") {
      if (!number(o.count)) return std::nullopt;
      if (o.count < 0) {
        error = "--count must not be negative";
        return std::nullopt;
      }
    } else if (a == "--start-delay-ms") {
      if (!number(o.startDelayMs)) return std::nullopt;
    } else if (a == "--wait-start") {
      o.waitStart = true;
    } else if (a == "--stay") {
      o.stay = true;
    } else if (a == "--echo") {
      o.echo = true;
    } else {
      error = "unknown option: " + a;
      return std::nullopt;
    }
  }
  if (o.generator.silent > o.generator.transmitters) o.generator.silent = o.generator.transmitters;
  return o;
}

bool ReadScript(const std::filesystem::path& file, std::vector<ScriptStep>& steps,
                std::string& error) {
  std::ifstream in(file);
  if (!in) {
    error = "cannot read script " + file.string();
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') continue;
    ScriptStep step;
    if (line.rfind("sleep ", 0) == 0) {
      step.isSleep = true;
      if (!ParseNumber(line.substr(6), step.sleepMs) || step.sleepMs < 0) {
        error = file.string() + ":" + std::to_string(number) + ": bad sleep";
        return false;
      }
    } else {
      step.text = line;
    }
    steps.push_back(step);
  }
  return true;
}

}  // namespace kestrel::sim
