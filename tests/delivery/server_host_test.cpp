#include "delivery/server_host.h"

#include <gtest/gtest.h>

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
  EXPECT_GE(files.Calls(Op::ReadAll), 1);

  // A settings file that cannot be read gives the defaults, like a missing one.
  files.Fail(Op::ReadAll);
  const ServerHost fallback = ReadServerHost(files, dir.Path());
  EXPECT_EQ(fallback.address, ServerHost::kDefaultAddress);
  EXPECT_EQ(fallback.port, ServerHost::kDefaultPort);
}

}  // namespace
}  // namespace kestrel
