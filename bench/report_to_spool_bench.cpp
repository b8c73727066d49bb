// One receiver report from its line bytes to its spool file: line assembly and
// decoding, the table lookup at 100 000 transmitters, the event rules, RaiseEvent
// with the link offline, the spool file written whole (temporary file, flush,
// rename), and the record's write-back into num.mmm. Real disk, temporary folder.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "bench/bench_support.h"
#include "delivery/event_dispatch.h"
#include "delivery/link_port.h"
#include "delivery/spool_writer.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"
#include "receiver/event_context.h"
#include "receiver/event_rules.h"
#include "receiver/no_test_supervision.h"
#include "receiver/receiver_input.h"
#include "receiver/transmitter_table.h"

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

struct Station {
  explicit Station(std::size_t tableSize) {
    WriteTable(dir.Path() / "num.mmm", tableSize, clock.Now());
    table.LoadTable();
  }

  ScratchDir dir;
  SystemClock clock;
  DiskFileSystem fs;
  SilentLog log;
  TransmitterTable table{dir.Path() / "num.mmm", fs, clock, log};
  SpoolWriter spool{SpoolLocation{dir.Path() / "spool", ""}, fs, clock, log};
  OfflineLink offline;
  EventDispatch dispatch{offline, spool, clock};
  EventContext ctx{table, dispatch, clock, 1, 30};
  ReceiverInput input{
      table, nullptr, clock, log,
      [this](const ReceiverFrame& f, const FoundTransmitter& found) { ApplyFrame(f, found, ctx); }};
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
    station.input.ComPort1RxChar(static_cast<int>(line.size()),
                                 [&line](std::uint8_t* buf, std::size_t max) {
                                   const std::size_t n = std::min(max, line.size());
                                   std::copy_n(line.begin(), n, buf);
                                   return n;
                                 });
  }
  if (station.spool.PendingCount() != 0) state.SkipWithError("events were kept, not written");
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
