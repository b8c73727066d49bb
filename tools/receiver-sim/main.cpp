// receiver-sim: stands in for the radio receiver. See UsageText() for the options.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/receiver-sim/pty_link.h"
#include "tools/receiver-sim/report_generator.h"
#include "tools/receiver-sim/sim_options.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_go{false};

void OnSignal(int) { g_stop = true; }
void OnGo(int) { g_go = true; }

using SteadyClock = std::chrono::steady_clock;

// Sleeps until `until`, waking early when a stop is requested.
void SleepUntil(SteadyClock::time_point until) {
  while (!g_stop) {
    const auto now = SteadyClock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(
        std::min<SteadyClock::duration>(until - now, std::chrono::milliseconds(50)));
  }
}

void Echo(const std::string& text) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  std::printf("%lld.%06lld %s\n", static_cast<long long>(us / 1000000),
              static_cast<long long>(us % 1000000), text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrel::sim;
  std::string error;
  bool help = false;
  const auto options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error, help);
  if (!options) {
    if (help) {
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    }
    std::fprintf(stderr, "receiver-sim: %s (see --help)\n", error.c_str());
    return 2;
  }
  const SimOptions& o = *options;

  std::vector<ScriptStep> script;
  if (!o.script.empty() && !ReadScript(o.script, script, error)) {
    std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
    return 2;
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction go {};
  go.sa_handler = OnGo;
  sigemptyset(&go.sa_mask);
  sigaction(SIGUSR1, &go, nullptr);

  SerialEnd line;
  const bool opened = o.device.empty() ? line.OpenPty(o.workdir / "ports" / o.port, error)
                                       : line.OpenDevice(o.device, error);
  if (!opened) {
    std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("ready %s\n", line.Path().c_str());
  std::fflush(stdout);

  // Pace: one line of 12 bytes at 10 bits per byte, or the given rate if slower.
  double period = 120.0 / o.baud;
  if (o.rate > 0 && 1.0 / o.rate > period) period = 1.0 / o.rate;
  const auto step =
      std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(period));

  while (o.waitStart && !g_go && !g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  SleepUntil(SteadyClock::now() + std::chrono::milliseconds(o.startDelayMs));
  ReportGenerator generator(o.generator);
  auto next = SteadyClock::now();
  long long sent = 0;
  long long failed = 0;
  std::size_t scriptPos = 0;
  while (!g_stop) {
    if (o.count >= 0 && sent + failed >= o.count) break;
    std::string text;
    if (!o.script.empty()) {
      if (scriptPos >= script.size()) break;
      const ScriptStep& s = script[scriptPos++];
      if (s.isSleep) {
        next = std::max(next, SteadyClock::now()) + std::chrono::milliseconds(s.sleepMs);
        SleepUntil(next);
        continue;
      }
      text = s.text;
    } else {
      if (!generator.HasMore()) break;
      text = generator.Next().text;
    }
    SleepUntil(next);
    if (g_stop) break;
    // The catch-up is bounded, so a stall is not followed by a burst faster than the line.
    next = std::max(next + step, SteadyClock::now());
    if (line.Write(text + "\r\n", 1000)) {
      ++sent;
      if (o.echo) Echo(text);
    } else {
      ++failed;
      std::fprintf(stderr, "receiver-sim: line not written: %s\n", text.c_str());
    }
  }

  // Let the driver read what is still in the line before the link goes away, also when
  // stopped by a signal. Bytes just written may not be counted as waiting yet, so the line
  // must stay empty for a while.
  const auto drainUntil = SteadyClock::now() + std::chrono::seconds(g_stop ? 2 : 5);
  auto emptySince = SteadyClock::now();
  while (SteadyClock::now() < drainUntil &&
         SteadyClock::now() - emptySince < std::chrono::milliseconds(300)) {
    if (line.Pending() > 0) emptySince = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("done sent=%lld failed=%lld\n", sent, failed);
  std::fflush(stdout);
  while (o.stay && !g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return 0;
}
