// One step of the backlog drain with 100, 10 000 and 100 000 spool files waiting: the
// spool picks the next file and reads it, the acknowledgement checks and deletes it (real disk,
// temporary folder). The folder is listed once, before the measurement; to keep the number waiting
// constant a new file takes the place of each one delivered (not timed). The cost must not grow
// with the backlog.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "delivery/commands.h"
#include "delivery/spool.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "tests/support/forwarding_file_system.h"

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

// The real disk, with the replacement files of the untimed part left unflushed (in
// the program the group flusher makes them durable on its own thread): a flush per
// file would slow the timed reads and deletes that follow it.
class UnflushedDisk final : public test::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  bool WriteNew(const std::filesystem::path& p, ByteView d, bool) noexcept override {
    return ForwardingFileSystem::WriteNew(p, d, false);
  }
  bool FlushFile(const std::filesystem::path&) noexcept override { return true; }
  bool FlushFolder(const std::filesystem::path&) noexcept override { return true; }
};

void DrainStep(benchmark::State& state) {
  const auto waiting = static_cast<std::uint32_t>(state.range(0));
  ScratchDir dir;
  DiskFileSystem disk;
  UnflushedDisk files(disk);
  SystemClock clock;
  SilentLog log;
  const SpoolLocation location{dir.Path(), ""};
  for (std::uint32_t i = 0; i < waiting; ++i) {
    files.WriteNew(location.dir / NameOf(i), EventFileContent(i), false);
  }
  Spool spool(location, files, clock, log);
  spool.Rescan();
  std::uint32_t next = waiting;
  for (auto _ : state) {
    auto packet = spool.TakeNext();
    if (!packet) {
      state.SkipWithError("nothing to take");
      break;
    }
    benchmark::DoNotOptimize(spool.Acknowledged(packet->file, packet->command, packet->payload));
    state.PauseTiming();
    const Bytes content = EventFileContent(next++);
    spool.Append(cmdEvent, ByteView(content).subspan(4));
    state.ResumeTiming();
  }
  state.counters["waiting"] = static_cast<double>(spool.Waiting());
}
BENCHMARK(DrainStep)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// A folder listed and read from memory: the spool's own cost of a step.
class MemoryFolder final : public test::ForwardingFileSystem {
 public:
  MemoryFolder(FileSystem& inner, std::uint32_t count) : ForwardingFileSystem(inner) {
    for (std::uint32_t i = 0; i < count; ++i) listed_.push_back({NameOf(i), 23, true, {}});
  }
  std::vector<DirEntry> List(const std::filesystem::path&) noexcept override { return listed_; }
  std::optional<Bytes> ReadAll(const std::filesystem::path&) noexcept override {
    return EventFileContent(1);
  }

 private:
  std::vector<DirEntry> listed_;
};

// The spool alone (no disk): take the next file and put it back, with as many waiting.
void IndexStep(benchmark::State& state) {
  const auto waiting = static_cast<std::uint32_t>(state.range(0));
  DiskFileSystem disk;
  MemoryFolder files(disk, waiting);
  SystemClock clock;
  SilentLog log;
  Spool spool(SpoolLocation{"/nonexistent", ""}, files, clock, log);
  spool.Rescan();
  for (auto _ : state) {
    auto packet = spool.TakeNext();
    spool.Release(packet->file);  // back in the backlog, now the most recently handed over
  }
}
BENCHMARK(IndexStep)->Arg(100)->Arg(10000)->Arg(100000);

}  // namespace
}  // namespace kestrel

BENCHMARK_MAIN();
