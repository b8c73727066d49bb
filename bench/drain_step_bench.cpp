// One step of the backlog drain with 100, 10 000 and 100 000 spool files waiting: the
// index picks the next file, the worker reads it, the acknowledgement checks and
// deletes it (real disk, temporary folder). The folder is listed once, before the
// measurement; to keep the number waiting constant a new file takes the place of
// each one delivered (not timed). The cost must not grow with the backlog.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "delivery/commands.h"
#include "delivery/spool_drain.h"
#include "delivery/spool_index.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace kestrel {
namespace {

using bench::ScratchDir;
using bench::SilentLog;

Bytes EventFileContent(std::uint32_t n) {
  Bytes b(23, 0);
  PutU32(b.data(), static_cast<std::uint32_t>(cmdEvent));
  PutU32(b.data() + 4, n & 0xFFFFFF);
  b[10] = 2;
  b[11] = '3';
  b[12] = '9';
  return b;
}

std::string NameOf(std::uint32_t n) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X.dd8", 0x10000000u + n);
  return name;
}

void DrainStep(benchmark::State& state) {
  const auto waiting = static_cast<std::uint32_t>(state.range(0));
  ScratchDir dir;
  DiskFileSystem files;
  SystemClock clock;
  SilentLog log;
  const SpoolLocation location{dir.Path(), ""};
  for (std::uint32_t i = 0; i < waiting; ++i) {
    files.WriteNew(location.dir / NameOf(i), EventFileContent(i), false);
  }
  SpoolIndex index(location);
  SpoolDrain drain(index, files, clock, log);
  drain.Rescan();
  std::uint32_t next = waiting;
  for (auto _ : state) {
    auto packet = drain.TakeNext();
    if (!packet) {
      state.SkipWithError("nothing to take");
      break;
    }
    Bytes content(4);
    PutU32(content.data(), static_cast<std::uint32_t>(packet->command));
    content.insert(content.end(), packet->payload.begin(), packet->payload.end());
    benchmark::DoNotOptimize(index.Acknowledge(files, packet->file, content));
    state.PauseTiming();
    const auto file = location.dir / NameOf(next);
    files.WriteNew(file, EventFileContent(next), false);
    index.Add(file);
    ++next;
    state.ResumeTiming();
  }
  state.counters["waiting"] = static_cast<double>(index.Waiting());
}
BENCHMARK(DrainStep)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The index alone (no disk): take the next file and put it back, with as many waiting.
void IndexStep(benchmark::State& state) {
  const auto waiting = static_cast<std::uint32_t>(state.range(0));
  SpoolIndex index(SpoolLocation{"/nonexistent", ""});
  for (std::uint32_t i = 0; i < waiting; ++i) index.Add("/nonexistent/" + NameOf(i));
  for (auto _ : state) {
    auto file = index.TakeNext(0);
    index.Release(*file);  // back in the backlog, now the most recently handed over
  }
}
BENCHMARK(IndexStep)->Arg(100)->Arg(10000)->Arg(100000);

}  // namespace
}  // namespace kestrel

BENCHMARK_MAIN();
