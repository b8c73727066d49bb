// Cost of handling one report of a known transmitter (FindOrAdd + WriteBack) on a
// real num.mmm in a temporary folder, at several table sizes. The figure must not
// grow with the table.
//
// BM_FindOrAddWriteBack: as the program runs, the save goes to the group flusher's
// thread (written on the kept-open file and flushed there, every 50 ms); the figure
// is the window thread's cost. BM_FindOrAddWriteBackInline: the save written at once
// on the caller's thread (the kept-open file, no flush): the cost of the write itself.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/group_flusher.h"
#include "platform/operator_log.h"
#include "receiver/transmitter_table.h"

namespace kestrel {
namespace {

// A fresh folder holding a num.mmm of `count` records, removed afterwards.
class TableFolder {
 public:
  explicit TableFolder(std::size_t count) {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           ("kestrel-table-bench-" + std::to_string(rd()) + "-" + std::to_string(count));
    std::filesystem::create_directories(dir_);
    Bytes image(count * kTransmitterRecordSize);
    for (std::size_t i = 0; i < count; ++i) {
      TransmitterRecord r;
      const auto id = static_cast<TransmitterId>(i * 7 + 1);  // spread over the id range
      r.IdLow = static_cast<std::uint8_t>(id);
      r.IdMid = static_cast<std::uint8_t>(id >> 8);
      r.IdHigh = static_cast<std::uint8_t>(id >> 16);
      r.SerialNo = static_cast<std::uint16_t>(i + 1);
      r.Status2 = 132;
      r.LastHeard = 46000.0;
      EncodeTransmitterRecord(r, image.data() + i * kTransmitterRecordSize);
      ids_.push_back(id);
    }
    DiskFileSystem().WriteNew(File(), image, false);
  }
  ~TableFolder() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path File() const { return dir_ / "num.mmm"; }
  const std::vector<TransmitterId>& Ids() const { return ids_; }

 private:
  std::filesystem::path dir_;
  std::vector<TransmitterId> ids_;
};

void RunFindOrAddWriteBack(benchmark::State& state, bool behind) {
  const auto count = static_cast<std::size_t>(state.range(0));
  TableFolder folder(count);
  DiskFileSystem fs;
  SystemClock clock;
  StderrOperatorLog log;
  GroupFlusher flusher(fs, log);
  TransmitterTable table(folder.File(), fs, clock, log, behind ? &flusher : nullptr);
  table.LoadTable();
  if (table.Count() != count) {
    state.SkipWithError("table not loaded");
    return;
  }

  // Reports come from transmitters all over the table, in no particular order.
  std::mt19937 random(20261210);
  std::vector<TransmitterId> order(4096);
  for (auto& id : order) id = folder.Ids()[random() % count];

  std::size_t n = 0;
  for (auto _ : state) {
    const FoundTransmitter found = table.FindOrAdd(order[n++ % order.size()]);
    TransmitterRecord r = found.record;
    r.Status1 = static_cast<std::uint8_t>(n);
    r.LastHeard = clock.Now();
    table.WriteBack(found.position, r);
    benchmark::DoNotOptimize(found.position);
  }
  flusher.Stop();
  const GroupFlusher::Figures f = flusher.Counts();
  state.counters["flusher_runs"] = static_cast<double>(f.runs);
  if (table.Count() != count || table.SaveFailing()) state.SkipWithError("table changed size");
  if (DiskFileSystem().ReadAll(folder.File()) != table.Image()) {
    state.SkipWithError("num.mmm differs from the table");
  }
}

void BM_FindOrAddWriteBack(benchmark::State& state) { RunFindOrAddWriteBack(state, true); }
void BM_FindOrAddWriteBackInline(benchmark::State& state) { RunFindOrAddWriteBack(state, false); }
BENCHMARK(BM_FindOrAddWriteBack)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindOrAddWriteBackInline)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond);

// As reports come in practice: one report a millisecond (over ten times the serial
// line's rate), 2 000 reports, each timed on its own; the flusher works between them.
// Counters: median and 99th percentile of one FindOrAdd + WriteBack, in microseconds.
void BM_FindOrAddWriteBackPaced(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  TableFolder folder(count);
  DiskFileSystem fs;
  SystemClock clock;
  StderrOperatorLog log;
  GroupFlusher flusher(fs, log);
  TransmitterTable table(folder.File(), fs, clock, log, &flusher);
  table.LoadTable();
  std::mt19937 random(20261210);
  std::vector<double> us;
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) {
      std::this_thread::sleep_until(begin + i * std::chrono::milliseconds(1));
      const TransmitterId id = folder.Ids()[random() % count];
      const auto start = std::chrono::steady_clock::now();
      const FoundTransmitter found = table.FindOrAdd(id);
      TransmitterRecord r = found.record;
      r.Status1 = static_cast<std::uint8_t>(i);
      r.LastHeard = clock.Now();
      table.WriteBack(found.position, r);
      us.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  flusher.Stop();
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["flusher_runs"] = static_cast<double>(flusher.Counts().runs);
  if (table.SaveFailing() || DiskFileSystem().ReadAll(folder.File()) != table.Image()) {
    state.SkipWithError("num.mmm differs from the table");
  }
}
BENCHMARK(BM_FindOrAddWriteBackPaced)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The lookup alone, without the file: shows what the index costs by itself.
void BM_FindOrAddOnly(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  TableFolder folder(count);
  DiskFileSystem fs;
  SystemClock clock;
  StderrOperatorLog log;
  TransmitterTable table(folder.File(), fs, clock, log);
  table.LoadTable();
  std::mt19937 random(20261210);
  std::vector<TransmitterId> order(4096);
  for (auto& id : order) id = folder.Ids()[random() % count];
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.FindOrAdd(order[n++ % order.size()]));
  }
  if (table.Count() != count) state.SkipWithError("table changed size");
}
BENCHMARK(BM_FindOrAddOnly)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrel

BENCHMARK_MAIN();
