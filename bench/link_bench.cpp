// The server link worker against the message server simulator on loopback.
//
//   LinkThroughputFullQueue: 100 events queued at once (a full queue); the time
//     until the server has printed all of them; packets_per_s.
//   LinkLatency: one event at a time, 0-40 ms apart; the time from AddPacket until
//     the server's line for it is read (includes the pipe to this process): median
//     and p99.
//
// Run: build/bench/link_bench  (needs build/tools/msgserver/msgserver)

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "delivery/Unit7.h"
#include "delivery/commands.h"
#include "delivery/delivery.h"
#include "delivery/event_record.h"
#include "delivery/spool_location.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"
#include "platform/qt_tcp_client.h"
#include "tests/support/msgserver_process.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

std::string ServerProgram() {
  return (QCoreApplication::applicationDirPath() + "/../tools/msgserver/msgserver").toStdString();
}

Bytes Event(std::uint32_t id) {
  EventRecord r;
  r.TransmitterId = id;
  r.FirstNumber = 1;
  r.EventCode = {'4', '1'};
  r.EventTime = 46000.5;
  const EventBytes b = EncodeEventRecord(r);
  return Bytes(b.begin(), b.end());
}

// A registered link to a fresh msgserver, in a temporary working folder.
class LinkRig {
 public:
  bool Start(std::string& error) {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("kestrel-link-bench-" + std::to_string(rd()));
    fs::create_directories(dir_);
    if (!fs::exists(ServerProgram())) {
      error = "msgserver not built";
      return false;
    }
    server = std::make_unique<test::MsgServerProcess>(ServerProgram(), QStringList{});
    const std::uint16_t port = server->WaitListening();
    if (port == 0) {
      error = "msgserver did not start";
      return false;
    }
    files_.Replace(
        dir_ / "drvkestrel.ini",
        ToBytes("[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\n"));
    delivery_ = std::make_unique<Delivery>(
        DeliveryServices{clock_, files_, log_, MakeQtTcpClientFactory()}, SpoolLocation{dir_, ""});
    delivery_->StartLink(LinkIdentity{"COM1", 1, [] { return false; }, "8.1.4.30",
                                      ServerHostFromFolder(files_, dir_)});
    link = delivery_->Worker();
    if (!server->WaitForLine("registered", 10000)) {
      error = "no registration";
      return false;
    }
    const auto end = Steady::now() + std::chrono::seconds(5);
    while (!link->IsOnline() && Steady::now() < end) server->Poll(5);
    return link->IsOnline();
  }

  ~LinkRig() {
    if (delivery_) delivery_->Finish(5000);
    delivery_.reset();
    server.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::unique_ptr<test::MsgServerProcess> server;
  cl* link = nullptr;  // the worker of delivery_

 private:
  static Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

  fs::path dir_;
  SystemClock clock_;
  DiskFileSystem files_;
  StderrOperatorLog log_;
  std::unique_ptr<Delivery> delivery_;
};

void LinkThroughputFullQueue(benchmark::State& state) {
  LinkRig rig;
  std::string error;
  if (!rig.Start(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::uint32_t id = 0;
  std::int64_t packets = 0;
  for (auto _ : state) {
    int queued = 0;
    while (queued < 100 && rig.link->AddPacket(cmdEvent, Event(++id))) ++queued;
    for (int got = 0; got < queued; ++got) {
      if (!rig.server->WaitForLine("event ", 10000)) {
        state.SkipWithError("events did not arrive");
        return;
      }
    }
    packets += queued;
  }
  state.counters["packets_per_s"] =
      benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(LinkThroughputFullQueue)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

void LinkLatency(benchmark::State& state) {
  LinkRig rig;
  std::string error;
  if (!rig.Start(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<double> ms;
  std::uint32_t id = 0;
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> gapMs(0, 40);
  for (auto _ : state) {
    // Events come at moments unrelated to the worker's 20 ms rhythm.
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));
    state.ResumeTiming();
    const auto start = Steady::now();
    if (!rig.link->AddPacket(cmdEvent, Event(++id))) {
      state.SkipWithError("queue refused");
      return;
    }
    if (!rig.server->WaitForLine("event ", 5000)) {
      state.SkipWithError("event did not arrive");
      return;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  state.counters["max_ms"] = ms.back();
}
BENCHMARK(LinkLatency)->Iterations(300)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
