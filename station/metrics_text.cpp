#include "station/metrics_text.h"

#include <cstdint>
#include <cstdio>

namespace kestrel {
namespace {

class Writer {
 public:
  explicit Writer(std::string labels) : labels_(std::move(labels)) {}

  void Gauge(const char* name, const char* help, double value) {
    Family(name, help, "gauge");
    Sample(name, labels_, value);
  }
  void Counter(const char* name, const char* help, std::uint64_t value) {
    Family(name, help, "counter");
    Sample(name, labels_, static_cast<double>(value));
  }
  void Info(const char* name, const char* help, const std::string& extraLabels) {
    Family(name, help, "gauge");
    Sample(name, labels_ + "," + extraLabels, 1);
  }
  const std::string& Text() const { return text_; }

 private:
  void Family(const char* name, const char* help, const char* type) {
    text_ += std::string("# HELP ") + name + " " + help + "\n";
    text_ += std::string("# TYPE ") + name + " " + type + "\n";
  }
  void Sample(const char* name, const std::string& labels, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.15g", value);
    text_ += std::string(name) + "{" + labels + "} " + number + "\n";
  }

  std::string labels_;
  std::string text_;
};

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatMetrics(const StationStatus& s, std::string_view version,
                          std::string_view receiver) {
  const DeliveryStatus& d = s.delivery;
  Writer w("receiver=\"" + EscapeLabelValue(receiver) + "\"");
  w.Info("drvkestrel_build_info", "The driver's version.",
         "version=\"" + EscapeLabelValue(version) + "\"");
  w.Gauge("drvkestrel_server_link_up", "1 while the link to the message server is up.",
          d.online ? 1 : 0);
  w.Gauge("drvkestrel_server_registered", "1 while the message server has registered the driver.",
          d.registered ? 1 : 0);
  w.Gauge("drvkestrel_server_standby_in_use",
          "1 while the link uses (or tries) the standby message server.", d.onStandby ? 1 : 0);
  w.Counter("drvkestrel_server_switches_total",
            "Switches of the link between the primary and the standby message server.",
            d.serverSwitches);
  w.Counter("drvkestrel_server_reconnects_total",
            "Connections made to the message server after the first one.",
            d.connects > 0 ? d.connects - 1 : 0);
  w.Counter("drvkestrel_events_raised_total", "Events raised from the receiver's reports.",
            d.raised);
  w.Counter("drvkestrel_events_acknowledged_total",
            "Events the message server acknowledged (their spool files deleted).", d.acknowledged);
  w.Counter("drvkestrel_events_refused_total",
            "Events the message server answered with something other than an acknowledgement.",
            d.refused);
  w.Counter("drvkestrel_spool_write_failures_total",
            "Events that could not be written to a spool file when raised (kept in memory).",
            d.spoolWriteFailures);
  w.Gauge("drvkestrel_events_waiting", "Events waiting for the message server's acknowledgement.",
          static_cast<double>(d.backlog));
  w.Gauge("drvkestrel_oldest_waiting_event_age_seconds",
          "How long the oldest event not yet acknowledged has waited; 0 when none waits.",
          d.oldestWaitingMs ? *d.oldestWaitingMs / 1000.0 : 0.0);
  w.Gauge("drvkestrel_serial_port_open", "1 while the receiver's serial port is open.",
          s.portOpen ? 1 : 0);
  w.Gauge("drvkestrel_receiver_last_data_age_seconds",
          "Time since the receiver last sent anything.", s.receiverSilenceMs / 1000.0);
  w.Gauge("drvkestrel_transmitters_known", "Transmitters in the transmitter table.",
          static_cast<double>(s.transmitters));
  w.Gauge("drvkestrel_forwarding_alarm", "1 while the forwarding alarm is on.", s.alarm ? 1 : 0);
  return w.Text();
}

}  // namespace kestrel
