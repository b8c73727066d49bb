#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/event_sink.h"
#include "delivery/link_identity.h"
#include "delivery/spool_location.h"
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
// waiting, and raises every event, complete, into one EventSink (delivery).
// Runs on one thread (the window thread).
class Reception {
 public:
  // Loads the table, then reads section `main` of the settings (in that order),
  // sets the port's line speed from `br`, and opens the raw log when `Log` is on.
  // The port must outlive the reception.
  Reception(ReceptionServices services, SerialPort& port);
  Reception(const Reception&) = delete;
  Reception& operator=(const Reception&) = delete;

  // Where events go from now on. Events raised before (there should be none) are
  // handed on here, in order: none is lost.
  void DeliverTo(EventSink& events);

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
  // Where delivery keeps spool files (PathForSoob, relative to the working folder).
  SpoolLocation SpoolPlace() const;
  // What the link worker tells the server about this station.
  LinkIdentity Identity() const;
  // Stores the port selector's text (Windows-1251) as `ComPort` in the settings
  // file. Throws IniWriteError when the file cannot be written.
  void SavePortName(const std::string& nameCp1251);

  // --- the parts, for tests and the window ---
  TransmitterTable& Table() { return table_; }
  ReceiverInput& Input() { return *input_; }
  SerialPort& Port() { return port_; }

 private:
  // Holds events until DeliverTo names their destination.
  class Outbox final : public EventSink {
   public:
    void Raise(const EventRecord& record) override;
    void SetTarget(EventSink& target);

   private:
    EventSink* target_ = nullptr;
    std::vector<EventRecord> held_;
  };

  // A settings file missing or unreadable at start: the operator log says so, and
  // which values apply instead.
  void TellDefaultSettings(const std::filesystem::path& iniPath);

  ReceptionServices services_;
  SerialPort& port_;
  TransmitterTable table_;
  MainSettings settings_;
  std::unique_ptr<RawLog> rawLog_;
  Outbox outbox_;
  EventContext context_;
  NoTestSupervision noTest_{context_};
  std::unique_ptr<ReceiverInput> input_;
  TickStep noTestStep_;
  TickStep tableStep_;
};

}  // namespace kestrel
