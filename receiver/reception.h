#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/event_sink.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"
#include "platform/serial_port.h"
#include "platform/tick_step.h"
#include "receiver/event_context.h"
#include "receiver/no_test_supervision.h"
#include "receiver/raw_log.h"
#include "receiver/receiver_input.h"
#include "receiver/settings.h"
#include "receiver/transmitter_table.h"

namespace kestrel {

inline constexpr char kTableFileName[] = "num.mmm";

// What reception is built on. Tests hand in fakes; the program the real ones.
struct ReceptionServices {
  const Clock& clock;
  FileSystem& fs;
  OperatorLog& log;
  std::filesystem::path workDir;  // folder of drvkestrel.ini, num.mmm, drvkestrel.log
  // Where num.mmm's saves wait for the event files before them (the group flusher);
  // null: each save is written at once.
  AfterDurableQueue* writeBehind = nullptr;
};

// The reception of receiver reports: the settings read at start, the transmitter
// table (num.mmm), the raw log, the line assembly and decoding, the event rules and
// the no-test supervision. It reads the bytes of the serial port it is told are
// waiting, and raises every event, complete, into the EventSink it is built with
// (delivery). The station reads the settings and hands section `main` in.
// Runs on one thread (the window thread).
class Reception {
 public:
  // Loads the table, sets the port's line speed from `br`, and opens the raw log
  // when `Log` is on. The port and the event sink must outlive the reception.
  Reception(ReceptionServices services, const MainSettings& settings, SerialPort& port,
            EventSink& events);
  Reception(const Reception&) = delete;
  Reception& operator=(const Reception&) = delete;

  // --- the serial port ---
  // Opens the port under its present name; a fresh line (halves of reports from
  // before and after are never joined). True when open.
  bool OpenPort();
  void ClosePort() { port_.Close(); }
  // The port reports `count` bytes waiting: they are read and handled in order
  // (raw log, lines, table, event rules). Nothing escapes.
  void BytesWaiting(int count);

  // --- the 200 ms tick ---
  // Reception's share, each step guarded: the no-test supervision, and a failed
  // save of the table tried again.
  void Tick();
  // The no-test supervision itself (unguarded): the number of "70" events raised.
  std::size_t SuperviseNoTest();

  // --- station link ---
  // Milliseconds since the receiver last sent anything (monotonic tick).
  std::uint32_t SilenceMs() const;
  // True while that silence is no longer than `Attention` (equality counts).
  bool StationPresent(std::uint32_t silenceMs) const;

  // --- settings ---
  const MainSettings& Settings() const { return settings_; }
  const std::filesystem::path& WorkDir() const { return services_.workDir; }
  // Stores the port selector's text (Windows-1251) as `ComPort` in the settings
  // file. Throws IniWriteError when the file cannot be written.
  void SavePortName(const std::string& nameCp1251);

  // --- the parts, for tests and the window ---
  TransmitterTable& Table() { return table_; }
  ReceiverInput& Input() { return *input_; }
  SerialPort& Port() { return port_; }

 private:
  ReceptionServices services_;
  SerialPort& port_;
  TransmitterTable table_;
  MainSettings settings_;
  std::unique_ptr<RawLog> rawLog_;
  EventContext context_;
  NoTestSupervision noTest_{context_};
  std::unique_ptr<ReceiverInput> input_;
  TickStep noTestStep_;
  TickStep tableStep_;
};

}  // namespace kestrel
