// Message server simulator: a stand-in for the station's message server, for tests
// and demos. Runs until SIGTERM or SIGINT and then exits with 0.
#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/msgserver/line_printer.h"
#include "tools/msgserver/message_server.h"
#include "tools/msgserver/server_options.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t toggleSignal = 0;

extern "C" void OnStopSignal(int) { stopSignal = 1; }
extern "C" void OnToggleSignal(int) { toggleSignal = 1; }

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrel::msgserver;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseOutcome parsed = ParseServerOptions(args);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "msgserver: %s\n%s", parsed.error.c_str(), ServerUsage().c_str());
    return 2;
  }
  if (parsed.help) {
    std::fputs(ServerUsage().c_str(), stdout);
    return 0;
  }

  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGINT, OnStopSignal);
#ifdef SIGUSR1
  std::signal(SIGUSR1, OnToggleSignal);
#endif

  int qtArgc = 1;
  QCoreApplication app(qtArgc, argv);
  // Made before the server, so it outlives it.
  LinePrinter printer(stdout);
  const bool timestamps = parsed.options.timestamps;
  MessageServer server(parsed.options, [&printer, timestamps](const std::string& line) {
    if (!timestamps) {
      printer.Print(line);
      return;
    }
    // Stamped here, not by whoever reads the output: a reader that falls behind
    // does not shift the times.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%06lld ", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    printer.Print(stamp + line);
  });
  std::string error;
  if (!server.Listen(error)) {
    std::fprintf(stderr, "msgserver: cannot listen on 127.0.0.1:%u: %s\n",
                 static_cast<unsigned>(parsed.options.port), error.c_str());
    return 1;
  }

  QTimer stopPoll;
  QObject::connect(&stopPoll, &QTimer::timeout, &app, [&app, &server] {
    if (stopSignal != 0) app.quit();
    if (toggleSignal != 0) {
      toggleSignal = 0;
      server.ToggleDown();
    }
  });
  stopPoll.start(50);
  app.exec();
  if (!printer.Drain(2000)) {
    // Nobody reads the output any more: do not wait for it.
    std::fflush(stderr);
    std::_Exit(0);
  }
  return 0;
}
