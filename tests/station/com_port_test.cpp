// One driver per serial port: a port another driver holds is refused, whatever
// name leads to it and whoever asks (root included).

#include "station/com_port.h"

#include <gtest/gtest.h>

#include "tests/support/pty_port.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

TEST(ComPort, ASecondDriverOnTheSamePortIsRefusedUntilTheFirstLetsGo) {
  test::PtyPort device;
  ASSERT_TRUE(device.Ok());
  test::TempDir first;
  test::TempDir second;
  // Each working folder has its own name for the device, as two stations would.
  device.LinkAs(first / "ports" / "COM5");
  device.LinkAs(second / "ports" / "COM7");

  ComPort a(first.Path());
  a.SetName("COM5");
  ASSERT_TRUE(a.Open()) << a.LastError().toStdString();

  ComPort b(second.Path());
  b.SetName("COM7");
  EXPECT_FALSE(b.Open()) << "both would read the port, each getting half the lines";
  EXPECT_FALSE(b.IsOpen());
  EXPECT_FALSE(b.LastError().isEmpty());

  // The port freed, the other driver may take it: the lock goes with the port.
  a.Close();
  EXPECT_TRUE(b.Open()) << b.LastError().toStdString();
  EXPECT_FALSE(a.Open());
  b.Close();
  EXPECT_TRUE(a.Open()) << "reopening after a close works";
}

}  // namespace
}  // namespace kestrel
