// The no-test supervision's share of every 200 ms tick: a scan of the whole
// table when nobody is due (the common case), at 100 000 and 1 000 000
// transmitters; and the cost of one flagged transmitter ("70" spooled, record
// written back) at both sizes, which must not grow with the table.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "bench/bench_support.h"
#include "delivery/delivery.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"
#include "receiver/reception.h"
#include "receiver/transmitter_table.h"
#include "tests/support/fake_serial_port.h"

namespace kestrel {
namespace {

using bench::ScratchDir;
using bench::SilentLog;

class SettableClock final : public Clock {
 public:
  DateTime Now() const override { return now; }
  std::uint32_t TickMs() const override { return system.TickMs(); }
  DateTime now = 46000.5;
  SystemClock system;
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
    fs.Replace(dir.Path() / "num.mmm", image);
    const std::string ini = "[main]\r\nPathForSoob=spool\\\r\n";
    fs.Replace(dir.Path() / "drvkestrel.ini", Bytes(ini.begin(), ini.end()));
  }

  ScratchDir dir;
  SettableClock clock;
  DiskFileSystem fs;
  SilentLog log;
};

// Reception and delivery as the program builds them, no link started.
struct Station : WorkFolder {
  explicit Station(std::size_t count, double spacingMs = 0) : WorkFolder(count, spacingMs) {
    reception.DeliverTo(delivery);
  }

  SilentLinkUi ui;
  test::FakeSerialPort port;
  Reception reception{ReceptionServices{clock, fs, log, dir.Path()}, port};
  Delivery delivery{DeliveryServices{clock, fs, log, ui, {}}, reception.SpoolPlace()};
};

void BM_NoTestTickNobodyDue(benchmark::State& state) {
  Station station(static_cast<std::size_t>(state.range(0)));
  station.clock.now += 10 * kOneMinute;
  for (auto _ : state) benchmark::DoNotOptimize(station.reception.SuperviseNoTest());
  state.counters["transmitters"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_NoTestTickNobodyDue)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// Each tick finds the next 100 transmitters silent: their "70" events go to
// spool files and their records are written back. Time per flagged transmitter
// (the tick's table scan shared among them).
void BM_NoTestTickFlagging(benchmark::State& state) {
  constexpr std::size_t kPerTick = 100;
  const auto count = static_cast<std::size_t>(state.range(0));
  Station station(count, /*spacingMs=*/1);
  station.clock.now += 30 * kOneMinute;
  std::size_t flagged = 0;
  for (auto _ : state) {
    if (flagged + kPerTick > count) {
      state.SkipWithError("ran out of transmitters");
      break;
    }
    station.clock.now += static_cast<double>(kPerTick) / kMsPerDay;
    flagged += station.reception.SuperviseNoTest();
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

}  // namespace
}  // namespace kestrel

BENCHMARK_MAIN();
