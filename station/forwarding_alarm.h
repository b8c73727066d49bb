#pragma once

#include <cstdint>
#include <string>

#include "station/station_status.h"

namespace kestrel {

// The forwarding alarm: on while the oldest event not yet acknowledged has waited
// longer than `AlarmAfter`, or while reception runs and the receiver's station
// link has been silent past `Attention`. Driven by the monotonic tick given to
// Update, so tests play minutes in a moment. Shows nothing itself: the window
// shows the banner, beeps and logs the lines this class makes.
class ForwardingAlarm {
 public:
  static constexpr std::uint32_t kBeepEveryMs = 30000;

  // alarmAfterMs 0: the alarm is off.
  explicit ForwardingAlarm(std::uint32_t alarmAfterMs) : alarmAfterMs_(alarmAfterMs) {}

  struct Outcome {
    bool began = false;    // log BeganLine() as a warning
    bool cleared = false;  // log ClearedLine() as a notice
    bool beep = false;     // sound the beep now
  };
  Outcome Update(const StationStatus& s, std::uint32_t now);

  bool Active() const { return active_; }
  // The operator silenced this occurrence: no more beeps until it clears.
  void Silence() { silenced_ = active_; }
  bool Silenced() const { return silenced_; }

  // The banner's one line while on, e.g. "Сервер недоступен 3 мин, событий на
  // диске: 212, старейшее 3 мин".
  const std::string& Text() const { return text_; }
  std::string BeganLine() const;
  // Made when the alarm clears: how long it lasted and what was delivered meanwhile.
  const std::string& ClearedLine() const { return clearedLine_; }

 private:
  std::string Describe(const StationStatus& s, bool forwarding, bool station) const;

  std::uint32_t alarmAfterMs_;
  bool active_ = false;
  bool silenced_ = false;
  std::uint32_t beganTick_ = 0;
  std::uint32_t lastBeepTick_ = 0;
  std::uint64_t acknowledgedAtStart_ = 0;
  std::string text_;
  std::string clearedLine_;
};

// A duration in the operator's language: "45 с", "3 мин", "2 ч".
std::string DurationRu(std::uint32_t ms);

}  // namespace kestrel
