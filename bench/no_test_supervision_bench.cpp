// The no-test supervision's share of every 200 ms tick when nobody is due (the
// common case), at 1 000, 100 000 and 1 000 000 transmitters: it must not grow
// with the table; the cost of one flagged transmitter ("70" spooled, record
// written back) and of one report's reordering, which must not grow either; and
// the one-off ordering of the table at start-up.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "bench/bench_support.h"
#include "delivery/delivery.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"
#include "receiver/transmitter_table.h"
#include "station/station.h"
#include "tests/support/fake_serial_port.h"

namespace kestrel {
namespace {

using bench::ScratchDir;
using bench::SilentLog;

// Wall time and tick as the benchmark sets them (the tick starts near its wrap).
class SettableClock final : public Clock {
 public:
  DateTime Now() const override { return now; }
  std::uint32_t TickMs() const override { return tick; }
  void AdvanceMs(std::uint32_t ms) {
    now += ms / kMsPerDay;
    tick += ms;
  }
  DateTime now = 46000.5;
  std::uint32_t tick = 0xFFFF0000u;
};

// The working folder as reception finds it at start: num.mmm, where transmitter i
// was last heard `spacingMs` × i after the start, and settings that send spool
// files to spool\.
struct WorkFolder {
  WorkFolder(std::size_t count, double spacingMs) {
    Bytes image(count * kTransmitterRecordSize);
    for (std::size_t i = 0; i < count; ++i) {
      TransmitterRecord r;
      const auto id = static_cast<TransmitterId>(i + 1);
      r.IdLow = static_cast<std::uint8_t>(id);
      r.IdMid = static_cast<std::uint8_t>(id >> 8);
      r.IdHigh = static_cast<std::uint8_t>(id >> 16);
      r.Status2 = 4;
      r.LastHeard = clock.now + spacingMs * static_cast<double>(i) / kMsPerDay;
      EncodeTransmitterRecord(r, image.data() + i * kTransmitterRecordSize);
    }
    // Start-up comes when the last was heard: transmitter i has been silent for
    // `spacingMs` × (count - i) on the wall clock.
    clock.now += spacingMs * static_cast<double>(count) / kMsPerDay;
    fs.Replace(dir.Path() / "num.mmm", image);
    const std::string ini = "[main]\r\nPathForSoob=spool\\\r\n";
    fs.Replace(dir.Path() / "drvkestrel.ini", Bytes(ini.begin(), ini.end()));
  }

  ScratchDir dir;
  SettableClock clock;
  DiskFileSystem fs;
  SilentLog log;
};

// The station as the program builds it, no link started, on a serial port in memory.
struct Running : WorkFolder {
  explicit Running(std::size_t count, double spacingMs = 0) : WorkFolder(count, spacingMs) {
    StationServices services{clock, fs, {}, dir.Path(), false};
    services.port = &port;
    services.log = &log;
    station = std::make_unique<Station>(std::move(services));
  }
  Reception& reception() { return station->Receiving(); }

  test::FakeSerialPort port;
  std::unique_ptr<Station> station;
};

void BM_NoTestTickNobodyDue(benchmark::State& state) {
  Running station(static_cast<std::size_t>(state.range(0)));
  // Ten minutes since the last report of everyone, on the wall clock at start-up
  // and then on the tick.
  station.clock.AdvanceMs(10 * 60000);
  for (auto _ : state) {
    station.clock.tick += 1;  // 20 000 ticks stay within the silence left
    benchmark::DoNotOptimize(station.reception().SuperviseNoTest());
  }
  state.counters["transmitters"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_NoTestTickNobodyDue)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(20000)
    ->Unit(benchmark::kNanosecond);

// One report of a transmitter: events, record written back, and its place in the
// order of falling due moved; transmitters picked at random.
void BM_ReportReorders(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  Running station(count);
  std::mt19937 rng(7);
  for (auto _ : state) {
    station.clock.AdvanceMs(1);
    const auto id = static_cast<TransmitterId>(rng() % count + 1);
    char line[16];
    std::snprintf(line, sizeof line, "%06X%02X%02X\r\n", id, 0, 4);
    station.reception().BytesWaiting(station.port.Arrive(line));
  }
  state.counters["transmitters"] = static_cast<double>(count);
}
BENCHMARK(BM_ReportReorders)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// Start-up: the table read and ordered by when each transmitter falls due.
void BM_StartUp(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  WorkFolder folder(count, /*spacingMs=*/1);
  for (auto _ : state) {
    test::FakeSerialPort port;
    StationServices services{folder.clock, folder.fs, {}, folder.dir.Path(), false};
    services.port = &port;
    services.log = &folder.log;
    Station station(std::move(services));
    benchmark::DoNotOptimize(station.Table().Count());
  }
  state.counters["transmitters"] = static_cast<double>(count);
}
BENCHMARK(BM_StartUp)->Arg(1000000)->Iterations(5)->Unit(benchmark::kMillisecond);

// Each tick finds the next 100 transmitters silent: their "70" events go to
// spool files and their records are written back. Time per flagged transmitter
// (the tick's table scan shared among them).
void BM_NoTestTickFlagging(benchmark::State& state) {
  constexpr std::size_t kPerTick = 100;
  const auto count = static_cast<std::size_t>(state.range(0));
  Running station(count, /*spacingMs=*/1);
  // The first transmitter has now been silent exactly NoTimeTest minutes.
  station.clock.AdvanceMs(static_cast<std::uint32_t>(30 * 60000 - count));
  std::size_t flagged = 0;
  for (auto _ : state) {
    if (flagged + kPerTick > count) {
      state.SkipWithError("ran out of transmitters");
      break;
    }
    station.clock.AdvanceMs(kPerTick);
    flagged += station.reception().SuperviseNoTest();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(flagged));
  state.counters["transmitters"] = static_cast<double>(count);
}
BENCHMARK(BM_NoTestTickFlagging)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(30)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// num.mmm of `count` transmitters (ids 1..count) all heard now, for a run of the
// real program (bench/idle_cpu.sh).
int WriteTable(const char* path, std::size_t count) {
  SystemClock clock;
  const DateTime now = clock.Now();
  Bytes image(count * kTransmitterRecordSize);
  for (std::size_t i = 0; i < count; ++i) {
    TransmitterRecord r;
    const auto id = static_cast<TransmitterId>(i + 1);
    r.IdLow = static_cast<std::uint8_t>(id);
    r.IdMid = static_cast<std::uint8_t>(id >> 8);
    r.IdHigh = static_cast<std::uint8_t>(id >> 16);
    r.SerialNo = static_cast<std::uint16_t>(id);
    r.Status2 = 4;
    r.LastHeard = now;
    EncodeTransmitterRecord(r, image.data() + i * kTransmitterRecordSize);
  }
  DiskFileSystem fs;
  return fs.Replace(path, image) ? 0 : 1;
}

}  // namespace
}  // namespace kestrel

// no_test_supervision_bench --write-table <path> <count>: writes a table and ends.
int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--write-table") {
    return kestrel::WriteTable(argv[2], std::stoul(argv[3]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
