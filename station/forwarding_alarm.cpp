#include "station/forwarding_alarm.h"

namespace kestrel {

std::string DurationRu(std::uint32_t ms) {
  const std::uint32_t s = ms / 1000;
  if (s < 60) return std::to_string(s) + " с";
  if (s < 2 * 3600) return std::to_string(s / 60) + " мин";
  if (s < 2 * 86400) return std::to_string(s / 3600) + " ч";
  return std::to_string(s / 86400) + " сут";
}

std::string ForwardingAlarm::Describe(const StationStatus& s, bool forwarding, bool station) const {
  std::string text;
  if (forwarding) {
    const DeliveryStatus& d = s.delivery;
    if (!d.online && s.offlineMs)
      text = "Сервер недоступен " + DurationRu(*s.offlineMs);
    else if (!d.online)
      text = "Сервер недоступен";
    else
      text = "Сервер не подтверждает события";
    text += ", событий на диске: " + std::to_string(d.backlog) + ", старейшее " +
            DurationRu(d.oldestWaitingMs.value_or(0));
  }
  if (station) {
    if (!text.empty()) text += "; ";
    text += "Нет данных от приёмника " + DurationRu(s.receiverSilenceMs);
  }
  return text;
}

ForwardingAlarm::Outcome ForwardingAlarm::Update(const StationStatus& s, std::uint32_t now) {
  Outcome out;
  const bool forwarding = alarmAfterMs_ > 0 && s.delivery.oldestWaitingMs &&
                          *s.delivery.oldestWaitingMs > alarmAfterMs_;
  const bool station = alarmAfterMs_ > 0 && s.receptionRunning && !s.stationPresent;
  if (forwarding || station) {
    text_ = Describe(s, forwarding, station);
    if (!active_) {
      active_ = true;
      silenced_ = false;
      beganTick_ = now;
      acknowledgedAtStart_ = s.delivery.acknowledged;
      lastBeepTick_ = now;
      out.began = true;
      out.beep = true;
    } else if (!silenced_ && static_cast<std::uint32_t>(now - lastBeepTick_) >= kBeepEveryMs) {
      lastBeepTick_ = now;
      out.beep = true;
    }
    return out;
  }
  if (active_) {
    active_ = false;
    silenced_ = false;
    const std::uint64_t delivered = s.delivery.acknowledged - acknowledgedAtStart_;
    clearedLine_ = "Тревога снята: длилась " + DurationRu(now - beganTick_) +
                   ", доставлено событий за это время: " + std::to_string(delivered) + ".";
    text_.clear();
    out.cleared = true;
  }
  return out;
}

std::string ForwardingAlarm::BeganLine() const { return "Тревога: " + text_ + "."; }

}  // namespace kestrel
