// One receiver report from its line bytes to its spool file: line assembly and
// decoding, the table lookup at 100 000 transmitters, the event rules, the event
// dispatch with the link offline, the spool file written whole (temporary file,
// flush, rename), and the record's write-back into num.mmm. Built as the program
// builds it (Reception and Delivery, no link started), fed through a serial port
// in memory. Real disk, temporary folder.

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
#include "receiver/reception.h"
#include "receiver/transmitter_table.h"
#include "tests/support/fake_serial_port.h"

namespace kestrel {
namespace {

constexpr std::size_t kTableSize = 100000;

using bench::ScratchDir;
using bench::SilentLog;

// num.mmm with transmitters 1..count, all heard just now, Status2 4.
void WriteTable(const std::filesystem::path& file, std::size_t count, DateTime now) {
  Bytes image(count * kTransmitterRecordSize);
  for (std::size_t i = 0; i < count; ++i) {
    TransmitterRecord r;
    const auto id = static_cast<TransmitterId>(i + 1);
    r.IdLow = static_cast<std::uint8_t>(id);
    r.IdMid = static_cast<std::uint8_t>(id >> 8);
    r.IdHigh = static_cast<std::uint8_t>(id >> 16);
    r.SerialNo = static_cast<std::uint16_t>(i + 1);
    r.Status2 = 4;
    r.LastHeard = now;
    EncodeTransmitterRecord(r, image.data() + i * kTransmitterRecordSize);
  }
  DiskFileSystem fs;
  fs.Replace(file, image);
}

std::string Line(TransmitterId id, std::uint8_t status1, std::uint8_t status2) {
  char text[16];
  std::snprintf(text, sizeof text, "%06X%02X%02X\r\n", static_cast<unsigned>(id), status1, status2);
  return text;
}

// The working folder as reception finds it at start: num.mmm with the table, and
// settings that send spool files to spool\.
struct WorkFolder {
  explicit WorkFolder(std::size_t tableSize) {
    WriteTable(dir.Path() / "num.mmm", tableSize, clock.Now());
    const std::string ini = "[main]\r\nPathForSoob=spool\\\r\n";
    fs.Replace(dir.Path() / "drvkestrel.ini", Bytes(ini.begin(), ini.end()));
  }

  ScratchDir dir;
  SystemClock clock;
  DiskFileSystem fs;
  SilentLog log;
};

struct Station : WorkFolder {
  explicit Station(std::size_t tableSize) : WorkFolder(tableSize) {
    reception.DeliverTo(delivery);
    reception.OpenPort();
  }

  SilentLinkUi ui;
  test::FakeSerialPort port;
  Reception reception{ReceptionServices{clock, fs, log, dir.Path()}, port};
  Delivery delivery{DeliveryServices{clock, fs, log, ui, {}}, reception.SpoolPlace()};
};

// Each report raises exactly `events` events: "39" always (Status2 0); with two,
// bit 6 of Status1 alternately rises ("41") and falls ("51").
void RunReports(benchmark::State& state, int events) {
  Station station(kTableSize);
  std::mt19937 pick(7);
  std::uniform_int_distribution<TransmitterId> anyId(1, kTableSize);
  std::uint8_t status1 = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (events > 1) status1 ^= 0x40;
    const std::string line = Line(anyId(pick), status1, 0);
    state.ResumeTiming();
    station.reception.BytesWaiting(station.port.Arrive(line));
  }
  if (station.reception.Table().Count() != kTableSize) state.SkipWithError("table not loaded");
  if (station.delivery.Spool().PendingCount() != 0)
    state.SkipWithError("events were kept, not written");
  state.SetItemsProcessed(state.iterations());
  state.counters["events_per_report"] = events;
}

void BM_ReportToSpoolFile(benchmark::State& state) { RunReports(state, 1); }
void BM_ReportToTwoSpoolFiles(benchmark::State& state) { RunReports(state, 2); }

BENCHMARK(BM_ReportToSpoolFile)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReportToTwoSpoolFiles)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrel

BENCHMARK_MAIN();
