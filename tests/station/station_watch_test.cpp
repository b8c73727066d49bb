// What the station is told about the driver: the status line, the metrics text,
// the forwarding alarm and the watch over the threads. Pure: driven by the ticks
// the tests give them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/forwarding_alarm.h"
#include "station/metrics_text.h"
#include "station/status_line.h"
#include "station/thread_watch.h"

namespace kestrel {
namespace {

constexpr std::uint32_t kMin = 60000;

StationStatus Registered() {
  StationStatus s;
  s.delivery.online = true;
  s.delivery.registered = true;
  s.server = "10.0.0.5:12543";
  s.portName = "COM1";
  s.portOpen = true;
  s.receptionRunning = true;
  s.receiverSilenceMs = 2300;
  s.stationPresent = true;
  return s;
}

StationStatus ServerAway(std::uint32_t forMs, std::size_t waiting, std::uint32_t oldestMs) {
  StationStatus s = Registered();
  s.delivery.online = false;
  s.delivery.registered = false;
  s.offlineMs = forMs;
  s.delivery.backlog = waiting;
  s.delivery.oldestWaitingMs = oldestMs;
  return s;
}

TEST(StatusLine, SaysServerWaitingAndPort) {
  struct Case {
    const char* what;
    StationStatus s;
    std::string line;
  };
  StationStatus connected = Registered();
  connected.delivery.registered = false;
  StationStatus closed = ServerAway(4 * kMin + 5000, 312, 4 * kMin);
  closed.portOpen = false;
  StationStatus noPort = Registered();
  noPort.portName.clear();
  noPort.portOpen = false;
  StationStatus neverUp = ServerAway(0, 0, 0);
  neverUp.offlineMs.reset();
  neverUp.delivery.oldestWaitingMs.reset();
  StationStatus alarm = ServerAway(3 * 3600 * 1000u, 5, 3 * 3600 * 1000u);
  alarm.alarm = true;
  const Case cases[] = {
      {"registered", Registered(),
       "registered 10.0.0.5:12543; 0 waiting; COM1 open, last data 2 s ago"},
      {"connected", connected,
       "connected to 10.0.0.5:12543, not registered; 0 waiting; COM1 open, last data 2 s ago"},
      {"server away, port closed", closed,
       "server unreachable for 4 min; 312 waiting, oldest 4 min; COM1 closed"},
      {"no port chosen", noPort, "registered 10.0.0.5:12543; 0 waiting; no serial port chosen"},
      {"not yet known", neverUp, "server unreachable; 0 waiting; COM1 open, last data 2 s ago"},
      {"hours and the alarm", alarm,
       "server unreachable for 3 h; 5 waiting, oldest 3 h; COM1 open, last data 2 s ago; ALARM"},
  };
  for (const Case& c : cases) EXPECT_EQ(StatusLine(c.s), c.line) << c.what;
}

TEST(StatusLine, DurationsAtTheirBoundaries) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "0 s"},       {59999, "59 s"},     {60000, "1 min"},   {7199999, "119 min"},
      {7200000, "2 h"}, {172799999, "47 h"}, {172800000, "2 d"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(ShortDuration(ms), text) << ms;
}

TEST(StatusLineThrottle, SendsChangesAtMostOnceASecond) {
  StatusLineThrottle t;
  EXPECT_EQ(t.Offer("a", 1000), "a");
  EXPECT_EQ(t.Offer("a", 5000), std::nullopt) << "unchanged: never again";
  EXPECT_EQ(t.Offer("b", 5000), "b");
  EXPECT_FALSE(t.Due(5999));
  EXPECT_EQ(t.Offer("c", 5999), std::nullopt) << "within the second";
  EXPECT_TRUE(t.Due(6000));
  EXPECT_EQ(t.Offer("c", 6000), "c") << "the change waited for the next offer";
  // Across the wrap of the 32-bit tick.
  StatusLineThrottle w;
  EXPECT_EQ(w.Offer("a", 0xFFFFFF00u), "a");
  EXPECT_FALSE(w.Due(0x00000100u));
  EXPECT_EQ(w.Offer("b", 0x00000100u), std::nullopt);
  EXPECT_EQ(w.Offer("b", 0x00000300u), "b");
}

TEST(MetricsText, EveryFamilyHasHelpTypeAndOneLabelledSample) {
  StationStatus s = ServerAway(4 * kMin, 312, 250500);
  s.delivery.raised = 1000;
  s.delivery.acknowledged = 688;
  s.delivery.refused = 3;
  s.delivery.connects = 5;
  s.delivery.spoolWriteFailures = 2;
  s.delivery.onStandby = true;
  s.delivery.serverSwitches = 3;
  s.transmitters = 42;
  const std::string text = FormatMetrics(s, "8.1.4.30", "north");
  const std::vector<std::string> samples = {
      "drvkestrel_build_info{receiver=\"north\",version=\"8.1.4.30\"} 1",
      "drvkestrel_server_link_up{receiver=\"north\"} 0",
      "drvkestrel_server_registered{receiver=\"north\"} 0",
      "drvkestrel_server_standby_in_use{receiver=\"north\"} 1",
      "drvkestrel_server_switches_total{receiver=\"north\"} 3",
      "drvkestrel_server_reconnects_total{receiver=\"north\"} 4",
      "drvkestrel_events_raised_total{receiver=\"north\"} 1000",
      "drvkestrel_events_acknowledged_total{receiver=\"north\"} 688",
      "drvkestrel_events_refused_total{receiver=\"north\"} 3",
      "drvkestrel_spool_write_failures_total{receiver=\"north\"} 2",
      "drvkestrel_events_waiting{receiver=\"north\"} 312",
      "drvkestrel_oldest_waiting_event_age_seconds{receiver=\"north\"} 250.5",
      "drvkestrel_serial_port_open{receiver=\"north\"} 1",
      "drvkestrel_receiver_last_data_age_seconds{receiver=\"north\"} 2.3",
      "drvkestrel_transmitters_known{receiver=\"north\"} 42",
      "drvkestrel_forwarding_alarm{receiver=\"north\"} 0",
  };
  for (const std::string& sample : samples) {
    EXPECT_NE(text.find("\n" + sample + "\n"), std::string::npos) << sample << "\n" << text;
    const std::string name = sample.substr(0, sample.find('{'));
    const bool counter = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
    EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
    EXPECT_NE(text.find("# TYPE " + name + (counter ? " counter\n" : " gauge\n")),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(text.back(), '\n');
  // No waiting event: age 0; no connection yet: no reconnect either.
  const std::string idle = FormatMetrics(Registered(), "1", "r");
  EXPECT_NE(idle.find("\ndrvkestrel_oldest_waiting_event_age_seconds{receiver=\"r\"} 0\n"),
            std::string::npos);
  EXPECT_NE(idle.find("\ndrvkestrel_server_reconnects_total{receiver=\"r\"} 0\n"),
            std::string::npos);
}

TEST(MetricsText, LabelValuesAreEscaped) {
  EXPECT_EQ(EscapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  const std::string text = FormatMetrics(Registered(), "1", "we\"ird");
  EXPECT_NE(text.find("{receiver=\"we\\\"ird\"}"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The forwarding alarm

TEST(ForwardingAlarm, BeginsAfterAlarmAfterBeepsEvery30sAndClearsWithItsFigures) {
  ForwardingAlarm alarm(60000);
  StationStatus s = ServerAway(60000, 212, 60000);  // exactly AlarmAfter: not yet
  s.delivery.acknowledged = 100;
  auto out = alarm.Update(s, 1000);
  EXPECT_FALSE(alarm.Active());
  EXPECT_FALSE(out.began || out.beep);

  s = ServerAway(3 * kMin, 212, 3 * kMin);
  s.delivery.acknowledged = 100;
  out = alarm.Update(s, 2000);
  ASSERT_TRUE(alarm.Active());
  EXPECT_TRUE(out.began);
  EXPECT_TRUE(out.beep);
  EXPECT_EQ(alarm.Text(), "Сервер недоступен 3 мин, событий на диске: 212, старейшее 3 мин");
  EXPECT_EQ(alarm.BeganLine(),
            "Тревога: Сервер недоступен 3 мин, событий на диске: 212, старейшее 3 мин.");

  std::vector<std::uint32_t> beeps;
  for (std::uint32_t t = 2200; t <= 2000 + 65000; t += 200) {
    out = alarm.Update(s, t);
    EXPECT_FALSE(out.began) << t;
    if (out.beep) beeps.push_back(t);
  }
  EXPECT_EQ(beeps, (std::vector<std::uint32_t>{32000, 62000}));

  // Delivered again: the server is back and acknowledged 212 since the start.
  StationStatus back = Registered();
  back.delivery.acknowledged = 312;
  out = alarm.Update(back, 2000 + 4 * kMin);
  EXPECT_TRUE(out.cleared);
  EXPECT_FALSE(alarm.Active());
  EXPECT_EQ(alarm.ClearedLine(),
            "Тревога снята: длилась 4 мин, доставлено событий за это время: 212.");
  out = alarm.Update(back, 3000 + 4 * kMin);
  EXPECT_FALSE(out.cleared) << "once";
}

TEST(ForwardingAlarm, SilencedForThisOccurrenceOnly) {
  ForwardingAlarm alarm(60000);
  const StationStatus away = ServerAway(2 * kMin, 1, 2 * kMin);
  alarm.Update(away, 0);
  alarm.Silence();
  EXPECT_TRUE(alarm.Silenced());
  EXPECT_FALSE(alarm.Update(away, 31000).beep);
  EXPECT_TRUE(alarm.Active()) << "silenced, still shown";
  EXPECT_TRUE(alarm.Update(Registered(), 40000).cleared);
  EXPECT_FALSE(alarm.Silenced());
  // The next occurrence sounds again.
  const auto out = alarm.Update(away, 50000);
  EXPECT_TRUE(out.began);
  EXPECT_TRUE(out.beep);
  // Silence while nothing is on does nothing to the next one.
  ForwardingAlarm quiet(60000);
  quiet.Silence();
  EXPECT_TRUE(quiet.Update(away, 0).beep);
}

TEST(ForwardingAlarm, CausesAndWhenTheyCount) {
  struct Case {
    const char* what;
    std::uint32_t alarmAfterMs;
    StationStatus s;
    bool active;
    std::string text;
  };
  StationStatus silent = Registered();
  silent.stationPresent = false;
  silent.receiverSilenceMs = 5 * kMin;
  StationStatus silentStopped = silent;
  silentStopped.receptionRunning = false;
  StationStatus both = ServerAway(2 * kMin, 7, 2 * kMin);
  both.stationPresent = false;
  both.receiverSilenceMs = 45000;
  StationStatus refusing = Registered();
  refusing.delivery.backlog = 3;
  refusing.delivery.oldestWaitingMs = 2 * kMin;
  const Case cases[] = {
      {"station silent past Attention", 60000, silent, true, "Нет данных от приёмника 5 мин"},
      {"reception stopped by the operator", 60000, silentStopped, false, ""},
      {"both", 60000, both, true,
       "Сервер недоступен 2 мин, событий на диске: 7, старейшее 2 мин; Нет данных от приёмника 45 "
       "с"},
      {"online but not acknowledging", 60000, refusing, true,
       "Сервер не подтверждает события, событий на диске: 3, старейшее 2 мин"},
      {"off", 0, both, false, ""},
      {"all well", 60000, Registered(), false, ""},
  };
  for (const Case& c : cases) {
    ForwardingAlarm alarm(c.alarmAfterMs);
    alarm.Update(c.s, 0);
    EXPECT_EQ(alarm.Active(), c.active) << c.what;
    EXPECT_EQ(alarm.Text(), c.text) << c.what;
  }
}

// ---------------------------------------------------------------------------
// The watch over the threads

TEST(ThreadWatch, AliveOnlyWhileEveryExpectedThreadHasBeatenRecently) {
  ThreadWatch w(1000);
  EXPECT_TRUE(w.AllAlive(900000, 30000)) << "nothing expected yet";
  w.Expect(ThreadWatch::Window, 1000);
  w.Expect(ThreadWatch::Link, 1000);
  w.Expect(ThreadWatch::Flusher, 1000);
  EXPECT_TRUE(w.AllAlive(31000, 30000)) << "exactly the interval still counts";
  for (const ThreadWatch::Thread stuck :
       {ThreadWatch::Window, ThreadWatch::Link, ThreadWatch::Flusher}) {
    ThreadWatch x(0);
    for (const ThreadWatch::Thread t :
         {ThreadWatch::Window, ThreadWatch::Link, ThreadWatch::Flusher})
      x.Expect(t, 0);
    for (std::uint32_t now = 0; now <= 34000; now += 1000) {
      for (const ThreadWatch::Thread t :
           {ThreadWatch::Window, ThreadWatch::Link, ThreadWatch::Flusher})
        if (t != stuck || now < 5000) x.Beat(t, now);
    }
    EXPECT_TRUE(x.AllAlive(34000, 30000)) << stuck;  // its last beat was at 4000
    EXPECT_FALSE(x.AllAlive(34001, 30000)) << stuck;
    x.Forget(stuck);  // ended in order: no longer watched
    EXPECT_TRUE(x.AllAlive(34001, 30000)) << stuck;
  }
}

}  // namespace
}  // namespace kestrel
