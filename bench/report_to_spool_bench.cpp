// One receiver report from its line bytes to its spool file: line assembly and
// decoding, the table lookup at 100 000 transmitters, the event rules, the event
// dispatch with the link offline, the spool file written whole (temporary file,
// rename), and the record's write-back into num.mmm. Built as the program builds
// it (Reception and Delivery with a group flusher, no link started), fed through a
// serial port in memory. Real disk, temporary folder.
//
// As the program runs, the flushes (file, folder, num.mmm) happen on the group
// flusher's thread; the figures are the window thread's: mean, and the median and
// 99th percentile of single reports (counters median_us, p99_us). The *Flushed
// variants have no flusher: each spool file is flushed on the caller's thread, as
// before. BM_FlusherAt80ReportsPerSecond paces reports at the serial line's full
// rate for 5 s and counts how often the flushing thread runs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "delivery/delivery.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/group_flusher.h"
#include "platform/operator_log.h"
#include "receiver/transmitter_table.h"
#include "station/station.h"
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
    const std::string ini = "[main]\r\nComPort=COM1\r\nPathForSoob=spool\\\r\n";
    fs.Replace(dir.Path() / "drvkestrel.ini", Bytes(ini.begin(), ini.end()));
  }

  ScratchDir dir;
  SystemClock clock;
  DiskFileSystem fs;
  SilentLog log;
};

// The station as the program builds it (no link started), on a serial port in
// memory.
struct Running : WorkFolder {
  Running(std::size_t tableSize, bool withFlusher) : WorkFolder(tableSize) {
    StationServices services{clock, fs, {}, dir.Path(), false};
    services.port = &port;
    services.log = &log;
    services.flushInGroups = withFlusher;
    station = std::make_unique<Station>(std::move(services));
  }

  // Times one report on the calling (window) thread, in microseconds.
  double Report(const std::string& line) {
    const auto start = std::chrono::steady_clock::now();
    station->BytesWaiting(port.Arrive(line));
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
  }

  test::FakeSerialPort port;
  std::unique_ptr<Station> station;
};

double Percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// Each report raises exactly `events` events: "39" always (Status2 0); with two,
// bit 6 of Status1 alternately rises ("41") and falls ("51").
void RunReports(benchmark::State& state, int events, bool withFlusher) {
  Running running(kTableSize, withFlusher);
  std::vector<double> us;
  us.reserve(1 << 16);
  std::mt19937 pick(7);
  std::uniform_int_distribution<TransmitterId> anyId(1, kTableSize);
  std::uint8_t status1 = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (events > 1) status1 ^= 0x40;
    const std::string line = Line(anyId(pick), status1, 0);
    state.ResumeTiming();
    us.push_back(running.Report(line));
  }
  if (running.station->Table().Count() != kTableSize) state.SkipWithError("table not loaded");
  if (running.station->Status().delivery.spoolWriteFailures != 0)
    state.SkipWithError("events were kept, not written");
  state.SetItemsProcessed(state.iterations());
  state.counters["events_per_report"] = events;
  state.counters["median_us"] = Percentile(us, 0.5);
  state.counters["p99_us"] = Percentile(us, 0.99);
}

void BM_ReportToSpoolFile(benchmark::State& state) { RunReports(state, 1, true); }
void BM_ReportToTwoSpoolFiles(benchmark::State& state) { RunReports(state, 2, true); }
void BM_ReportToSpoolFileFlushed(benchmark::State& state) { RunReports(state, 1, false); }
void BM_ReportToTwoSpoolFilesFlushed(benchmark::State& state) { RunReports(state, 2, false); }

BENCHMARK(BM_ReportToSpoolFile)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReportToTwoSpoolFiles)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReportToSpoolFileFlushed)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReportToTwoSpoolFilesFlushed)->UseRealTime()->Unit(benchmark::kMicrosecond);

// 80 reports a second (one event each) for 5 s, as the serial line delivers at most.
void BM_FlusherAt80ReportsPerSecond(benchmark::State& state) {
  Running running(kTableSize, true);
  std::mt19937 pick(7);
  std::uniform_int_distribution<TransmitterId> anyId(1, kTableSize);
  constexpr int kReports = 400;
  std::vector<double> us;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kReports; ++i) {
      std::this_thread::sleep_until(begin + i * std::chrono::microseconds(12500));
      us.push_back(running.Report(Line(anyId(pick), 0, 0)));
    }
  }
  running.station->Shutdown(4000);  // the flusher stopped: its figures are final
  const GroupFlusher::Figures f = running.station->Flusher()->Counts();
  const double seconds = kReports / 80.0;
  state.counters["flusher_runs_per_s"] = static_cast<double>(f.runs) / seconds;
  state.counters["files_per_run"] =
      f.runs == 0 ? 0 : static_cast<double>(f.filesFlushed) / static_cast<double>(f.runs);
  state.counters["failures"] = static_cast<double>(f.failures);
  state.counters["median_us"] = Percentile(us, 0.5);
  state.counters["p99_us"] = Percentile(us, 0.99);
}
BENCHMARK(BM_FlusherAt80ReportsPerSecond)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kestrel

BENCHMARK_MAIN();
