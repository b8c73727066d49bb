#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstGoes) {
  test::TempDir dir;
  const auto path = dir / kInstanceLockFileName;
  std::string why;
  auto first = InstanceLock::TryAcquire(path, why);
  ASSERT_NE(first, nullptr) << why;

  std::string why2;
  EXPECT_EQ(InstanceLock::TryAcquire(path, why2), nullptr);
  EXPECT_NE(why2.find("another drvkestrel already runs in this folder"), std::string::npos) << why2;

  first.reset();
  std::string why3;
  EXPECT_NE(InstanceLock::TryAcquire(path, why3), nullptr) << why3;
}

TEST(InstanceLock, OtherFoldersAreIndependent) {
  test::TempDir a;
  test::TempDir b;
  std::string why;
  auto la = InstanceLock::TryAcquire(a / kInstanceLockFileName, why);
  auto lb = InstanceLock::TryAcquire(b / kInstanceLockFileName, why);
  EXPECT_NE(la, nullptr);
  EXPECT_NE(lb, nullptr);
}

TEST(InstanceLock, UnusableFolderSaysWhy) {
  test::TempDir dir;
  std::string why;
  EXPECT_EQ(InstanceLock::TryAcquire(dir / "missing" / kInstanceLockFileName, why), nullptr);
  EXPECT_NE(why.find("cannot open"), std::string::npos) << why;
}

}  // namespace
}  // namespace kestrel
