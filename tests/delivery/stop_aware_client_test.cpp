#include "delivery/stop_aware_client.h"

#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <vector>

namespace kestrel::test {
namespace {

// Answers each read from a script; an exhausted script times out with nothing.
class ScriptedReads final : public TcpClient {
 public:
  struct Answer {
    Bytes data;
    ReadEnd end = ReadEnd::Timeout;
  };
  void SetOnConnected(std::function<void()>) override {}
  void SetOnDisconnected(std::function<void()>) override {}
  bool Connect(const std::string&, std::uint16_t, int) override { return true; }
  bool Connected() const noexcept override { return true; }
  bool Write(ByteView) override { return true; }
  void Disconnect() override {}
  ReadEnd Read(std::size_t, int timeoutMs, Bytes& out) override {
    timeouts.push_back(timeoutMs);
    if (script.empty()) return ReadEnd::Timeout;
    Answer a = script.front();
    script.pop_front();
    out.insert(out.end(), a.data.begin(), a.data.end());
    return a.end;
  }

  std::deque<Answer> script;
  std::vector<int> timeouts;
};

struct SliceCase {
  friend void PrintTo(const SliceCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  int sliceMs;
  int timeoutMs;
  std::deque<ScriptedReads::Answer> script;
  int stopAfterReads;  // -1: never
  TcpClient::ReadEnd expectedEnd;
  std::vector<int> expectedTimeouts;
  std::size_t expectedBytes;
};

class StopAwareClientTest : public ::testing::TestWithParam<SliceCase> {};

TEST_P(StopAwareClientTest, Read) {
  const SliceCase& c = GetParam();
  ScriptedReads inner;
  inner.script = c.script;
  StopAwareClient client(
      inner,
      [&] {
        return c.stopAfterReads >= 0 && static_cast<int>(inner.timeouts.size()) >= c.stopAfterReads;
      },
      c.sliceMs, [] { return std::uint32_t{0}; });
  Bytes out;
  EXPECT_EQ(client.Read(4, c.timeoutMs, out), c.expectedEnd);
  EXPECT_EQ(inner.timeouts, c.expectedTimeouts);
  EXPECT_EQ(out.size(), c.expectedBytes);
}

using RE = TcpClient::ReadEnd;
const std::vector<int> kTenSlices(10, 100);

std::vector<int> Concat(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopAwareClientTest,
    ::testing::Values(
        SliceCase{"SilenceForTheWholeTimeout", 100, 1000, {}, -1, RE::Timeout, kTenSlices, 0},
        SliceCase{"UncutWhenSliceIsZero", 0, 1000, {}, -1, RE::Timeout, {1000}, 0},
        SliceCase{"UncutWhenTimeoutIsShort", 100, 80, {}, -1, RE::Timeout, {80}, 0},
        SliceCase{"LastSliceIsTheRest", 100, 250, {}, -1, RE::Timeout, {100, 100, 50}, 0},
        SliceCase{"DataRestartsTheQuietTime",
                  100,
                  1000,
                  {{}, {}, {Bytes{1, 2}, RE::Timeout}},
                  -1,
                  RE::Timeout,
                  Concat({100, 100, 100}, kTenSlices),
                  2},
        SliceCase{"CompleteAcrossSlices",
                  100,
                  1000,
                  {{Bytes{1}, RE::Timeout}, {}, {Bytes{2, 3, 4}, RE::Complete}},
                  -1,
                  RE::Complete,
                  {100, 100, 100},
                  4},
        SliceCase{
            "ClosedEndsAtOnce", 100, 1000, {{Bytes{1}, RE::Closed}}, -1, RE::Closed, {100}, 1},
        SliceCase{"StopEndsTheWait", 100, 1000, {}, 2, RE::Closed, {100, 100}, 0},
        SliceCase{"StopBeforeTheRead", 100, 1000, {}, 0, RE::Closed, {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A server trickling one byte per slice keeps every slice busy, so the quiet time
// never runs out; the overall limit of ReadWithin must still end the read, and each
// slice is told how much of the limit is left.
TEST(StopAwareClientLimit, TricklingDataCannotOutlastTheLimit) {
  class Trickle final : public TcpClient {
   public:
    explicit Trickle(std::uint32_t& tick) : tick_(tick) {}
    void SetOnConnected(std::function<void()>) override {}
    void SetOnDisconnected(std::function<void()>) override {}
    bool Connect(const std::string&, std::uint16_t, int) override { return true; }
    bool Connected() const noexcept override { return true; }
    bool Write(ByteView) override { return true; }
    void Disconnect() override {}
    ReadEnd Read(std::size_t, int, Bytes&) override { return ReadEnd::Closed; }
    ReadEnd ReadWithin(std::size_t, int timeoutMs, int limitMs, Bytes& out) override {
      limits.push_back(limitMs);
      tick_ += static_cast<std::uint32_t>(timeoutMs);
      out.push_back(0);
      return ReadEnd::Timeout;
    }
    std::vector<int> limits;

   private:
    std::uint32_t& tick_;
  };

  std::uint32_t tick = 0xFFFFFF00u;  // the limit holds across the tick's wrap
  Trickle inner(tick);
  StopAwareClient client(
      inner, [] { return false; }, 100, [&] { return tick; });
  Bytes out;
  EXPECT_EQ(client.ReadWithin(1000, 1000, 350, out), TcpClient::ReadEnd::Timeout);
  EXPECT_EQ(inner.limits, (std::vector<int>{350, 250, 150, 50}));
  EXPECT_EQ(out.size(), 4u);
}

}  // namespace
}  // namespace kestrel::test
