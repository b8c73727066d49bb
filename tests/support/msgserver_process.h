#pragma once

// The message server simulator (tools/msgserver) as a child process, for loopback
// tests and benchmarks. Header only: needs Qt Core (QProcess), which the delivery
// tests and the benchmarks link.

#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::test {

class MsgServerProcess {
 public:
  // Path of the built simulator.
  static std::string Program(const std::string& buildDir) {
    return buildDir + "/tools/msgserver/msgserver";
  }

  // Starts the server on a free port (--port 0) with the extra arguments.
  MsgServerProcess(const std::string& program, const QStringList& args) {
    process_.setProgram(QString::fromStdString(program));
    process_.setArguments(QStringList{"--port", "0"} + args);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start();
  }
  ~MsgServerProcess() { Kill(); }
  MsgServerProcess(const MsgServerProcess&) = delete;
  MsgServerProcess& operator=(const MsgServerProcess&) = delete;

  void Kill() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }

  // The port of the "listening" line, or 0 when it does not come within the time.
  std::uint16_t WaitListening(int timeoutMs = 5000) {
    const auto line = WaitForLine("listening 127.0.0.1:", timeoutMs);
    return line ? static_cast<std::uint16_t>(std::stoi(line->substr(20))) : 0;
  }

  // The next line not yet taken that starts with `start`; nullopt after timeoutMs.
  // `pump` (if any) runs at least every 20 ms while waiting (a test's timer).
  std::optional<std::string> WaitForLine(const std::string& start, int timeoutMs,
                                         const std::function<void()>& pump = {}) {
    QElapsedTimer timer;
    timer.start();
    while (true) {
      Collect();
      for (std::size_t i = taken_; i < lines_.size(); ++i) {
        if (lines_[i].rfind(start, 0) == 0) {
          taken_ = i + 1;
          return lines_[i];
        }
      }
      const qint64 left = timeoutMs - timer.elapsed();
      if (left <= 0 || process_.state() == QProcess::NotRunning) return std::nullopt;
      if (pump) pump();
      process_.waitForReadyRead(static_cast<int>(std::min<qint64>(left, 20)));
    }
  }

  // Every line so far (collected now), with the time each was read.
  const std::vector<std::string>& Lines() {
    Collect();
    return lines_;
  }
  const std::vector<std::chrono::steady_clock::time_point>& ArrivalTimes() {
    Collect();
    return arrivals_;
  }
  QProcess& Process() { return process_; }

  // Reads what has arrived, waiting up to ms for something.
  void Poll(int ms) {
    process_.waitForReadyRead(ms);
    Collect();
  }

 private:
  void Collect() {
    partial_ += process_.readAllStandardOutput().toStdString();
    const auto now = std::chrono::steady_clock::now();
    for (auto nl = partial_.find('\n'); nl != std::string::npos; nl = partial_.find('\n')) {
      lines_.push_back(partial_.substr(0, nl));
      arrivals_.push_back(now);
      partial_.erase(0, nl + 1);
    }
  }

  QProcess process_;
  std::vector<std::string> lines_;
  std::vector<std::chrono::steady_clock::time_point> arrivals_;
  std::string partial_;
  std::size_t taken_ = 0;
};

}  // namespace kestrel::test
