// What a power cut leaves of the station's files: spool files are flushed in
// groups off the window thread, and num.mmm is written behind them. Modelled with
// a file system that drops whatever was not flushed, and a group flusher driven by
// hand (each RunOnce stands for the end of one flush window).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "delivery/delivery.h"
#include "platform/group_flusher.h"
#include "receiver/reception.h"
#include "receiver/transmitter_table.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/power_loss_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

// Everything of the station that lives in memory, built as the program builds it
// (reception and delivery sharing one group flusher, no link started, so every
// event goes to a spool file); the file system outlives it. Settings are read from
// the real folder `root` (none there: defaults), the files live in the model.
struct Station {
  Station(test::PowerLossFileSystem& fs, const std::filesystem::path& root, DateTime now)
      : fs(fs), clock(now), root(root) {
    reception.OpenPort();
  }

  // One report; returns the spool files it wrote (name -> content).
  std::map<std::string, Bytes> Report(const ReceiverFrame& frame) {
    const auto before = Files(fs, root);
    clock.AdvanceMs(13);
    char line[16];
    std::snprintf(line, sizeof line, "%06X%02X%02X\r\n", static_cast<unsigned>(frame.Id()),
                  frame.Status1, frame.Status2);
    reception.BytesWaiting(port.Arrive(line));
    std::map<std::string, Bytes> added;
    for (const auto& [name, content] : Files(fs, root)) {
      if (before.count(name) == 0) added.emplace(name, content);
    }
    return added;
  }

  // The spool files (the working folder, as PathForSoob is empty).
  static std::map<std::string, Bytes> Files(test::PowerLossFileSystem& fs,
                                            const std::filesystem::path& root) {
    std::map<std::string, Bytes> out;
    for (const DirEntry& e : fs.List(root)) {
      if (e.name.size() > 4 && e.name.substr(e.name.size() - 4) == ".dd8") {
        out.emplace(e.name, fs.ReadAll(root / e.name).value_or(Bytes{}));
      }
    }
    return out;
  }

  test::PowerLossFileSystem& fs;
  test::FakeClock clock;
  std::filesystem::path root;
  test::RecordingOperatorLog log;
  GroupFlusher flusher{fs, log, GroupFlusher::Options{std::chrono::milliseconds(50), true}};
  test::FakeSerialPort port;
  StationSettings settings = ReadStationSettings(fs, root);
  Delivery delivery{DeliveryServices{clock, fs, log, {}, &flusher}, settings.spool};
  Reception reception{ReceptionServices{clock, fs, log, root, &flusher}, settings.main, port,
                      delivery};
};

ReceiverFrame Frame(TransmitterId id, std::uint8_t s1, std::uint8_t s2) {
  return ReceiverFrame{static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 8),
                       static_cast<std::uint8_t>(id), s1, s2};
}

std::vector<std::string> Codes(const std::map<std::string, Bytes>& files) {
  std::vector<std::string> codes;
  for (const auto& [name, content] : files) {
    if (content.size() != 23) {
      codes.push_back("?");
      continue;
    }
    codes.push_back(std::string(content.begin() + 11, content.begin() + 13));
  }
  return codes;
}

struct Handled {
  ReceiverFrame frame;
  std::map<std::string, Bytes> files;  // the events it raised
  Bytes record;                        // its transmitter's record after it
  TablePosition position = 0;
  bool flushed = false;  // a flush window ended after it
};

// Reports from a few transmitters whose status bits come and go, so that most
// reports raise change events; the flusher runs after every `every`-th report.
// Power is cut after report `cut`, and the station is started again.
class PowerLossTest : public ::testing::TestWithParam<int> {
 protected:
  test::TempDir root_;  // stays empty: only the settings are looked for there
};

TEST_P(PowerLossTest, EventsOlderThanTheWindowSurviveAndTheTableNeverRunsAhead) {
  const int every = GetParam();
  constexpr int kReports = 36;
  for (int cut = 0; cut <= kReports; ++cut) {
    SCOPED_TRACE("cut after report " + std::to_string(cut) + ", flush every " +
                 std::to_string(every));
    test::PowerLossFileSystem fs;
    fs.CreateDirectories(root_.Path());
    std::vector<Handled> handled;
    {
      Station station(fs, root_.Path(), 46000.5);
      std::mt19937 random(1234);
      for (int i = 0; i < cut; ++i) {
        const TransmitterId id = 1 + random() % 4;
        // Bits 1, 2, 3, 5, 6 of Status1 and bits 2, 3 of Status2 raise events.
        const auto s1 = static_cast<std::uint8_t>(random() & 0x6E);
        const auto s2 = static_cast<std::uint8_t>(random() & 0x0C);
        Handled h;
        h.frame = Frame(id, s1, s2);
        h.files = station.Report(h.frame);
        const TransmitterTable& table = station.reception.Table();
        h.position = *table.Find(id);
        h.record.assign(table.Image().begin() + static_cast<std::ptrdiff_t>(h.position),
                        table.Image().begin() +
                            static_cast<std::ptrdiff_t>(h.position + kTransmitterRecordSize));
        handled.push_back(h);
        if ((i + 1) % every == 0) {
          station.flusher.RunOnce();
          for (Handled& earlier : handled) earlier.flushed = true;
        }
      }
      fs.PowerLoss();
      // The station's objects go with the power: nothing they try now reaches the disk.
    }
    test::PowerLossFileSystem& disk = fs;
    disk.PowerOn();
    const auto onDisk = Station::Files(disk, root_.Path());

    // Every event of a flushed window is there, whole.
    for (std::size_t i = 0; i < handled.size(); ++i) {
      for (const auto& [name, content] : handled[i].files) {
        const auto it = onDisk.find(name);
        const bool there = it != onDisk.end() && it->second == content;
        if (handled[i].flushed) {
          EXPECT_TRUE(there) << "report " << i << ", file " << name;
        }
      }
    }
    for (const auto& [name, content] : onDisk) EXPECT_EQ(content.size(), 23u) << name;

    // num.mmm claims no report whose events (or any earlier event) are gone.
    const Bytes table = disk.ReadAll(root_ / "num.mmm").value_or(Bytes{});
    ASSERT_EQ(table.size() % kTransmitterRecordSize, 0u);
    for (std::size_t pos = 0; pos < table.size(); pos += kTransmitterRecordSize) {
      const Bytes record(table.begin() + static_cast<std::ptrdiff_t>(pos),
                         table.begin() + static_cast<std::ptrdiff_t>(pos + kTransmitterRecordSize));
      std::size_t last = handled.size();
      for (std::size_t i = 0; i < handled.size(); ++i) {
        if (handled[i].position == pos && handled[i].record == record) last = i;
      }
      ASSERT_NE(last, handled.size()) << "num.mmm holds a record no report left, at " << pos;
      for (std::size_t i = 0; i <= last; ++i) {
        for (const auto& [name, content] : handled[i].files) {
          const auto it = onDisk.find(name);
          EXPECT_TRUE(it != onDisk.end() && it->second == content)
              << "num.mmm holds report " << last << " but event " << name << " of report " << i
              << " is gone";
        }
      }
    }

    // After the restart the first lost report of a transmitter is a change again:
    // the same report raises the same events.
    Station again(disk, root_.Path(), 46001.5);
    std::set<TransmitterId> seen;
    for (const Handled& h : handled) {
      bool lost = false;
      for (const auto& [name, content] : h.files) lost = lost || onDisk.count(name) == 0;
      if (!lost || !seen.insert(h.frame.Id()).second) continue;
      SCOPED_TRACE("lost report of transmitter " + std::to_string(h.frame.Id()));
      EXPECT_EQ(Codes(again.Report(h.frame)), Codes(h.files));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FlushEvery, PowerLossTest, ::testing::Values(1, 3, 5));

}  // namespace
}  // namespace kestrel
