#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "delivery/delivery.h"

namespace kestrel {

// Everything the station is told about the driver at one moment: delivery's
// figures and the state of reception. Made by the window each tick; shown as the
// service status line, the metrics file and the forwarding alarm.
struct StationStatus {
  DeliveryStatus delivery;
  std::string server;  // "10.0.0.5:12543", as the settings name it
  // How long the server link has been down (monotonic); nothing while it is up.
  std::optional<std::uint32_t> offlineMs;
  std::string portName;  // "COM1"; empty: no port chosen
  bool portOpen = false;
  bool receptionRunning = false;        // the operator (or start-up) started reception
  std::uint32_t receiverSilenceMs = 0;  // since the receiver last sent anything
  bool stationPresent = false;          // that silence is within `Attention`
  std::size_t transmitters = 0;         // records in the transmitter table
  bool alarm = false;                   // the forwarding alarm is on
};

// A duration as people read it at a glance: "45 s", "4 min", "3 h", "2 d".
std::string ShortDuration(std::uint32_t ms);

}  // namespace kestrel
