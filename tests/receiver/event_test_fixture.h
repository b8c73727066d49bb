#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/event_dispatch.h"
#include "delivery/event_record.h"
#include "delivery/spool.h"
#include "receiver/event_context.h"
#include "receiver/transmitter_table.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_link_port.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel::test {

// A table on disk, an online link that takes every event (so each event can be
// read back in order), a fake clock, and the context the rules work with.
class EventTest : public ::testing::Test {
 protected:
  EventTest() {
    table_.LoadTable();
    link_.online = true;
  }

  // The events raised since the last call, in order.
  std::vector<EventRecord> TakeEvents() {
    std::vector<EventRecord> out;
    const auto packets = link_.Packets();
    for (std::size_t i = taken_; i < packets.size(); ++i) {
      const auto r = DecodeEventRecord(packets[i].payload);
      EXPECT_TRUE(r.has_value());
      if (r) out.push_back(*r);
    }
    taken_ = packets.size();
    return out;
  }
  std::vector<std::string> TakeCodes() {
    std::vector<std::string> codes;
    for (const EventRecord& e : TakeEvents()) {
      codes.emplace_back(e.EventCode.begin(), e.EventCode.end());
    }
    return codes;
  }

  // Puts a transmitter into the table with the given stored state.
  TablePosition Store(TransmitterId id, std::uint8_t status1, std::uint8_t status2,
                      DateTime lastHeard, std::uint8_t noTestFlag = 0) {
    const FoundTransmitter f = table_.FindOrAdd(id);
    TransmitterRecord r = f.record;
    r.Status1 = status1;
    r.Status2 = status2;
    r.LastHeard = lastHeard;
    r.NoTestFlag = noTestFlag;
    table_.WriteBack(f.position, r);
    return f.position;
  }

  TempDir tmp_;
  FaultyFileSystem fs_;
  FakeClock clock_{46000.5};
  RecordingOperatorLog log_;
  TransmitterTable table_{tmp_ / "num.mmm", fs_, clock_, log_};
  Spool spool_{SpoolLocation{tmp_.Path(), ""}, fs_, clock_, log_};
  FakeLinkPort link_;
  EventDispatch dispatch_{link_, spool_};
  EventContext ctx_{table_, dispatch_, clock_, 1, 30};

 private:
  std::size_t taken_ = 0;
};

}  // namespace kestrel::test
