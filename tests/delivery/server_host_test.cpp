#include "delivery/server_host.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

TEST(ReadServerHostTest, ReadsTheSettingsFileThroughTheGivenFileSystem) {
  using Op = test::FaultyFileSystem::Op;
  test::TempDir dir;
  test::WriteFileText(SettingsFilePath(dir.Path()),
                      "[ServerHost]\r\nAddress=10.1.2.3\r\nPort=4000\r\n");
  test::FaultyFileSystem files;
  const ServerHost host = ReadServerHost(files, dir.Path());
  EXPECT_EQ(host.address, "10.1.2.3");
  EXPECT_EQ(host.port, 4000);
  EXPECT_EQ(host.blockGapMs, 20);
  EXPECT_FALSE(host.HasStandby());
  EXPECT_GE(files.Calls(Op::ReadAll), 1);

  // A settings file that cannot be read gives the defaults, like a missing one.
  files.Fail(Op::ReadAll);
  const ServerHost fallback = ReadServerHost(files, dir.Path());
  EXPECT_EQ(fallback.address, ServerHost::kDefaultAddress);
  EXPECT_EQ(fallback.port, ServerHost::kDefaultPort);
  EXPECT_FALSE(fallback.HasStandby());
}

struct HostCase {
  std::string name;
  std::string keys;  // lines of [ServerHost] after Address=10.0.0.1 and Port=4000
  std::int32_t blockGapMs;
  bool standby;
  std::string backupAddress;
  std::int32_t backupPort;
  std::int32_t failoverAfterS;
  std::int32_t failbackAfterS;
};

class ReadServerHostKeys : public ::testing::TestWithParam<HostCase> {};

TEST_P(ReadServerHostKeys, PaceAndStandby) {
  const HostCase& c = GetParam();
  test::TempDir dir;
  test::WriteFileText(SettingsFilePath(dir.Path()),
                      "[ServerHost]\r\nAddress=10.0.0.1\r\nPort=4000\r\n" + c.keys);
  test::FaultyFileSystem files;
  const ServerHost host = ReadServerHost(files, dir.Path());
  EXPECT_EQ(host.blockGapMs, c.blockGapMs);
  EXPECT_EQ(host.HasStandby(), c.standby);
  if (c.standby) {
    EXPECT_EQ(host.backupAddress, c.backupAddress);
    EXPECT_EQ(host.backupPort, c.backupPort);
  }
  EXPECT_EQ(host.failoverAfterS, c.failoverAfterS);
  EXPECT_EQ(host.failbackAfterS, c.failbackAfterS);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadServerHostKeys,
    ::testing::Values(
        HostCase{"Defaults", "", 20, false, "", 0, 15, 60},
        HostCase{"GapZero", "BlockGapMs=0\r\n", 0, false, "", 0, 15, 60},
        HostCase{"GapTooLong", "BlockGapMs=5000\r\n", 1000, false, "", 0, 15, 60},
        HostCase{"GapNegative", "BlockGapMs=-1\r\n", 0, false, "", 0, 15, 60},
        HostCase{"GapNotANumber", "BlockGapMs=fast\r\n", 20, false, "", 0, 15, 60},
        HostCase{"Standby",
                 "BackupAddress=10.0.0.2\r\nBackupPort=4001\r\nFailoverAfter=5\r\n"
                 "FailbackAfter=30\r\n",
                 20, true, "10.0.0.2", 4001, 5, 30},
        // The key not written is the primary's: another port on the same host, or
        // the same port on another host.
        HostCase{"StandbyPortOnly", "BackupPort=4001\r\n", 20, true, "10.0.0.1", 4001, 15, 60},
        HostCase{"StandbyAddressOnly", "BackupAddress=10.0.0.2\r\n", 20, true, "10.0.0.2", 4000, 15,
                 60},
        HostCase{"StandbyIsThePrimary", "BackupAddress=10.0.0.1\r\nBackupPort=4000\r\n", 20, false,
                 "", 0, 15, 60},
        HostCase{"StandbyPortInvalid", "BackupPort=70000\r\n", 20, false, "", 0, 15, 60},
        HostCase{"StandbyKeysEmpty", "BackupAddress=\r\nBackupPort=\r\n", 20, false, "", 0, 15, 60},
        HostCase{"DelaysBroughtIntoRange", "FailoverAfter=0\r\nFailbackAfter=999999\r\n", 20, false,
                 "", 0, 1, 86400}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrel
