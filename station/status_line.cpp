#include "station/status_line.h"

namespace kestrel {

std::string ShortDuration(std::uint32_t ms) {
  const std::uint32_t s = ms / 1000;
  if (s < 60) return std::to_string(s) + " s";
  if (s < 2 * 3600) return std::to_string(s / 60) + " min";
  if (s < 2 * 86400) return std::to_string(s / 3600) + " h";
  return std::to_string(s / 86400) + " d";
}

std::string StatusLine(const StationStatus& s) {
  const DeliveryStatus& d = s.delivery;
  std::string line;
  if (d.registered) {
    line = "registered " + s.server;
  } else if (d.online) {
    line = "connected to " + s.server + ", not registered";
  } else if (s.offlineMs) {
    line = "server unreachable for " + ShortDuration(*s.offlineMs);
  } else {
    line = "server unreachable";
  }
  line += "; " + std::to_string(d.backlog) + " waiting";
  if (d.oldestWaitingMs) line += ", oldest " + ShortDuration(*d.oldestWaitingMs);
  line += "; ";
  if (s.portName.empty()) {
    line += "no serial port chosen";
  } else if (!s.portOpen) {
    line += s.portName + " closed";
  } else {
    line += s.portName + " open, last data " + ShortDuration(s.receiverSilenceMs) + " ago";
  }
  if (s.alarm) line += "; ALARM";
  return line;
}

std::optional<std::string> StatusLineThrottle::Offer(const std::string& line, std::uint32_t now) {
  if (anySent_ && line == sent_) return std::nullopt;
  if (anySent_ && static_cast<std::uint32_t>(now - sentTick_) < kMinGapMs) return std::nullopt;
  anySent_ = true;
  sent_ = line;
  sentTick_ = now;
  return line;
}

}  // namespace kestrel
