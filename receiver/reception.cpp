#include "receiver/reception.h"

#include <cmath>
#include <utility>

#include "platform/date_time.h"
#include "platform/ini_file.h"
#include "platform/version.h"
#include "receiver/event_rules.h"

namespace kestrel {

Reception::Reception(ReceptionServices services, SerialPort& port)
    : services_(std::move(services)),
      port_(port),
      table_(services_.workDir / kTableFileName, services_.fs, services_.clock, services_.log,
             services_.writeBehind),
      context_{table_, outbox_, services_.clock},
      noTestStep_("контроль молчания передатчиков", services_.log),
      tableStep_("сохранение таблицы передатчиков", services_.log) {
  table_.LoadTable();
  const std::filesystem::path iniPath = SettingsFilePath(services_.workDir);
  settings_ = ReadMainSettings(IniFile(iniPath, services_.fs));
  TellDefaultSettings(iniPath);
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

void Reception::TellDefaultSettings(const std::filesystem::path& iniPath) {
  if (services_.fs.ReadAll(iniPath)) return;
  const std::string name = iniPath.filename().string();
  const std::string what =
      services_.fs.Exists(iniPath)
          ? "Файл настроек " + name + " не читается (не обычный файл или нет прав)"
          : "Файл настроек " + name + " не найден";
  const MainSettings& s = settings_;
  try {
    services_.log.Report(what + "; действуют значения по умолчанию: порт " + s.ComPort +
                         " (не выбран), скорость " + std::to_string(s.br) + ", первый номер " +
                         std::to_string(s.FirstNumber) + ", контроль молчания " +
                         std::to_string(s.NoTimeTest) + " мин, журнал приёма выключен.");
  } catch (...) {
  }
}

void Reception::DeliverTo(EventSink& events) { outbox_.SetTarget(events); }

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

SpoolLocation Reception::SpoolPlace() const {
  return MakeSpoolLocation(settings_.PathForSoob, services_.workDir);
}

LinkIdentity Reception::Identity() const {
  LinkIdentity identity;
  identity.portNameCp1251 = settings_.ComPort;
  identity.firstNumber = settings_.FirstNumber;
  SerialPort* port = &port_;
  identity.portOpen = [port] { return port->IsOpenAnyThread(); };
  identity.versionText = kVersionText;
  identity.serverHost = ServerHostFromFolder(services_.fs, services_.workDir);
  return identity;
}

void Reception::SavePortName(const std::string& nameCp1251) {
  IniFile ini(SettingsFilePath(services_.workDir), services_.fs);
  WriteComPort(ini, nameCp1251);
}

void Reception::Outbox::Raise(const EventRecord& record) {
  if (target_ != nullptr) {
    target_->Raise(record);
    return;
  }
  held_.push_back(record);
}

void Reception::Outbox::SetTarget(EventSink& target) {
  target_ = &target;
  std::vector<EventRecord> held;
  held.swap(held_);
  for (const EventRecord& r : held) target_->Raise(r);
}

}  // namespace kestrel
