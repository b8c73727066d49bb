#include "receiver/reception.h"

#include <cmath>
#include <utility>

#include "platform/date_time.h"
#include "platform/ini_file.h"
#include "receiver/event_rules.h"

namespace kestrel {

Reception::Reception(ReceptionServices services, const MainSettings& settings, SerialPort& port,
                     EventSink& events)
    : services_(std::move(services)),
      port_(port),
      table_(services_.workDir / kTableFileName, services_.fs, services_.clock, services_.log,
             services_.writeBehind),
      settings_(settings),
      context_{table_, events, services_.clock},
      noTestStep_("контроль молчания передатчиков", services_.log),
      tableStep_("сохранение таблицы передатчиков", services_.log) {
  table_.LoadTable();
  context_.FirstNumber = settings_.FirstNumber;
  context_.NoTimeTest = settings_.NoTimeTest;
  port_.SetBaudRate(BaudRateFromSetting(settings_.br));
  if (settings_.Log) {
    rawLog_ =
        std::make_unique<RawLog>(services_.workDir / kRawLogFileName, services_.fs, services_.log);
  }
  // LastDataTime := now, LineIndex := 1: a fresh receiver input.
  input_ = std::make_unique<ReceiverInput>(
      table_, rawLog_.get(), services_.clock, services_.log,
      [this](const ReceiverFrame& frame, const FoundTransmitter& found) {
        ApplyFrame(frame, found, context_);
      });
}

bool Reception::OpenPort() {
  if (!port_.Open()) return false;
  input_->Assembler().Reset();
  return true;
}

void Reception::BytesWaiting(int count) {
  input_->ComPort1RxChar(
      count, [this](std::uint8_t* buf, std::size_t max) { return port_.Read(buf, max); });
}

void Reception::Tick() {
  noTestStep_.Run([this] { SuperviseNoTest(); });
  tableStep_.Run([this] { table_.RetryFailedSave(); });
}

std::size_t Reception::SuperviseNoTest() { return noTest_.CheckNoTest(); }

std::uint32_t Reception::SilenceMs() const {
  return static_cast<std::uint32_t>(services_.clock.TickMs() - input_->LastDataTick());
}

bool Reception::StationPresent(std::uint32_t silenceMs) const {
  const long long attentionMs = std::llround(settings_.Attention * kMsPerDay);
  return static_cast<long long>(silenceMs) <= attentionMs;
}

void Reception::SavePortName(const std::string& nameCp1251) {
  IniFile ini(SettingsFilePath(services_.workDir), services_.fs);
  WriteComPort(ini, nameCp1251);
}

}  // namespace kestrel
