// The choice between the primary and the standby server, on the tick alone.

#include "delivery/server_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

constexpr ServerRole P = ServerRole::Primary;
constexpr ServerRole S = ServerRole::Standby;
constexpr std::uint32_t kStart = 4294960000u;  // the tick wraps around during the cases

ServerChoice::Timing WithStandby(std::uint32_t failoverMs = 15000,
                                 std::uint32_t failbackMs = 60000) {
  return ServerChoice::Timing{true, failoverMs, failbackMs};
}

// Attempts that all fail, every 5001 ms as the worker makes them, after the primary
// was last alive `aliveFor` ms after the start (0: never registered).
struct AttemptCase {
  std::string name;
  ServerChoice::Timing timing;
  std::uint32_t aliveFor;
  std::vector<ServerRole> expected;
};

class ServerChoiceAttempts : public ::testing::TestWithParam<AttemptCase> {};

TEST_P(ServerChoiceAttempts, GoWhereTheTimingSays) {
  const AttemptCase& c = GetParam();
  ServerChoice choice(kStart);
  std::uint32_t now = kStart;
  if (c.aliveFor > 0) {
    ASSERT_EQ(choice.Attempt(c.timing, now), P);
    EXPECT_FALSE(choice.Registered(P, now)) << "the first registration with the primary";
    now += c.aliveFor;
    choice.Alive(now);
    choice.Down();
  }
  std::vector<ServerRole> got;
  for (std::size_t i = 0; i < c.expected.size(); ++i) {
    got.push_back(choice.Attempt(c.timing, now));
    now += 5001;
  }
  EXPECT_EQ(got, c.expected);
  EXPECT_EQ(choice.Switches(), 0u) << "attempts alone switch nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerChoiceAttempts,
    ::testing::Values(AttemptCase{"NoStandbyAlwaysPrimary",
                                  ServerChoice::Timing{false, 15000, 60000},
                                  0,
                                  {P, P, P, P, P, P, P}},
                      // Away 0, 5.0, 10.0, 15.0 s: the fourth attempt goes to the standby; both
                      // failing, they alternate, the primary first after the standby.
                      AttemptCase{"FromTheStart", WithStandby(), 0, {P, P, P, S, P, S, P}},
                      // Counted from the last sign of life, not from the first registration.
                      AttemptCase{"FromTheLastSignOfLife", WithStandby(), 30000, {P, P, P, S, P}},
                      AttemptCase{"ShortFailover", WithStandby(3000), 0, {P, S, P, S}},
                      AttemptCase{"ExactlyTheFailoverTime", WithStandby(10002), 0, {P, P, S}}),
    [](const auto& info) { return info.param.name; });

TEST(ServerChoiceTest, FailbackOnlyWhileRegisteredWithTheStandbyAndEveryFailbackTime) {
  const auto t = WithStandby(3000, 10000);
  ServerChoice choice(kStart);
  std::uint32_t now = kStart + 3000;
  ASSERT_EQ(choice.Attempt(t, now), S);
  EXPECT_FALSE(choice.FailbackDue(t, now + 20000)) << "not registered yet";
  now += 100;
  EXPECT_TRUE(choice.Registered(S, now));
  EXPECT_EQ(choice.InUse(), S);
  EXPECT_EQ(choice.Switches(), 1u);
  EXPECT_FALSE(choice.FailbackDue(t, now + 9999));
  EXPECT_TRUE(choice.FailbackDue(t, now + 10000));
  now += 10000;
  choice.FailbackTried(now);  // the primary did not answer
  EXPECT_FALSE(choice.FailbackDue(t, now + 9999));
  EXPECT_TRUE(choice.FailbackDue(t, now + 10000));
  EXPECT_GE(choice.PrimaryAwayMs(now), 13000u);

  now += 10000;
  EXPECT_TRUE(choice.Registered(P, now)) << "the primary is back";
  EXPECT_EQ(choice.InUse(), P);
  EXPECT_EQ(choice.Switches(), 2u);
  EXPECT_EQ(choice.PrimaryAwayMs(now), 0u);
  EXPECT_FALSE(choice.FailbackDue(t, now + 100000));

  // A registration with the server already in use is no switch.
  choice.Down();
  ASSERT_EQ(choice.Attempt(t, now + 1000), P);
  EXPECT_FALSE(choice.Registered(P, now + 1000));
  EXPECT_EQ(choice.Switches(), 2u);
}

TEST(ServerChoiceTest, AfterTheStandbyDropsThePrimaryIsTriedFirst) {
  const auto t = WithStandby(3000);
  ServerChoice choice(kStart);
  ASSERT_EQ(choice.Attempt(t, kStart + 5000), S);
  choice.Registered(S, kStart + 5001);
  choice.Down();
  EXPECT_EQ(choice.Attempt(t, kStart + 10001), P);
  EXPECT_EQ(choice.Attempt(t, kStart + 15002), S);
}

// Leaving a primary that shows no life, on the connection it is online with.
struct LeaveCase {
  std::string name;
  bool standby;
  bool registers;             // the handshake ends with a registration
  std::uint32_t lastAliveAt;  // ms after the connection was made
  std::uint32_t at;           // ms after the connection was made
  bool leave;
};

class ServerChoiceLeave : public ::testing::TestWithParam<LeaveCase> {};

TEST_P(ServerChoiceLeave, OnlyASilentPrimaryWithAStandbyWaiting) {
  const LeaveCase& c = GetParam();
  const ServerChoice::Timing t{c.standby, 5000, 60000};
  ServerChoice choice(kStart);
  // Long away already: a fresh connection still gets the whole failover time.
  const std::uint32_t made = kStart + 20000;
  ASSERT_EQ(choice.Attempt(ServerChoice::Timing{}, made), P);
  if (c.registers) {
    choice.Registered(P, made + 10);
    choice.Alive(made + c.lastAliveAt);
  }
  EXPECT_EQ(choice.LeavePrimary(t, made + c.at), c.leave);
  const auto in = choice.LeavePrimaryInMs(t, made + c.at);
  if (!c.standby) {
    EXPECT_EQ(in, std::nullopt);
  } else {
    ASSERT_TRUE(in.has_value());
    EXPECT_EQ(*in == 0, c.leave);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerChoiceLeave,
    ::testing::Values(LeaveCase{"NeverRegisteredWithinTheTime", true, false, 0, 4999, false},
                      LeaveCase{"NeverRegisteredForTheTime", true, false, 0, 5000, true},
                      LeaveCase{"RegisteredAndAnswering", true, true, 9000, 13000, false},
                      LeaveCase{"RegisteredThenSilent", true, true, 9000, 14000, true},
                      LeaveCase{"SilentButNoStandby", false, true, 0, 60000, false}),
    [](const auto& info) { return info.param.name; });

TEST(ServerChoiceTest, TheStandbyIsNeverLeftByTheFailoverRule) {
  const auto t = WithStandby(3000);
  ServerChoice choice(kStart);
  ASSERT_EQ(choice.Attempt(t, kStart + 3000), S);
  EXPECT_FALSE(choice.LeavePrimary(t, kStart + 60000));
  EXPECT_EQ(choice.LeavePrimaryInMs(t, kStart + 60000), std::nullopt);
}

}  // namespace
}  // namespace kestrel
