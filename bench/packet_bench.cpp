// Packet building and the message server simulator's round trip on loopback.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <filesystem>
#include <string>

#include "delivery/commands.h"
#include "delivery/packet.h"

namespace kestrel {
namespace {

// Next to the benchmarks in the build folder: tools/msgserver/msgserver.
std::string ServerPath() {
  return (QCoreApplication::applicationDirPath() + "/../tools/msgserver/msgserver").toStdString();
}

void BM_BuildEventBlock(benchmark::State& state) {
  const Bytes payload(19, 0x41);
  std::int64_t sequence = 0;
  for (auto _ : state) {
    Bytes block = BuildBlock(BuildPacket(cmdEvent, sequence++, payload));
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildEventBlock);

bool ReadExactly(QTcpSocket& socket, qint64 n, QByteArray& out) {
  out.clear();
  while (out.size() < n) {
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(3000)) return false;
    out += socket.read(n - out.size());
  }
  return true;
}

// One event block written and its acknowledgement read, against msgserver.
void BM_MsgServerEventRoundTrip(benchmark::State& state) {
  const std::string serverPath = ServerPath();
  if (!std::filesystem::exists(serverPath)) {
    state.SkipWithError("msgserver not built");
    return;
  }
  // The server's output goes to a file: a pipe nobody drains would fill up and
  // stall the server.
  QTemporaryFile output;
  if (!output.open()) {
    state.SkipWithError("no temporary file");
    return;
  }
  QProcess server;
  server.setStandardOutputFile(output.fileName());
  server.start(QString::fromStdString(serverPath), {"--port", "0"});
  std::string line;
  QElapsedTimer waited;
  waited.start();
  while (line.find('\n') == std::string::npos && waited.elapsed() < 5000) {
    server.waitForFinished(20);
    QFile file(output.fileName());
    if (file.open(QIODevice::ReadOnly)) line = file.readLine().toStdString();
  }
  const auto colon = line.find(':');
  if (colon == std::string::npos) {
    state.SkipWithError("msgserver did not start");
    return;
  }
  QTcpSocket socket;
  socket.connectToHost("127.0.0.1", static_cast<quint16>(std::stoi(line.substr(colon + 1))));
  if (!socket.waitForConnected(3000)) {
    state.SkipWithError("no connection");
    return;
  }
  const Bytes payload(19, 0x41);
  std::int64_t sequence = 0;
  QByteArray reply;
  for (auto _ : state) {
    const Bytes block = BuildBlock(BuildPacket(cmdEvent, sequence++, payload));
    socket.write(reinterpret_cast<const char*>(block.data()), static_cast<qint64>(block.size()));
    socket.waitForBytesWritten(3000);
    if (!ReadExactly(socket, 39, reply)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  socket.abort();
  server.kill();
  server.waitForFinished(3000);
}
BENCHMARK(BM_MsgServerEventRoundTrip)->UseRealTime();

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
