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

#ifndef _WIN32
// A lock file planted as a link: the link gives way to a lock file of our own;
// nothing is truncated or written through it.
TEST(InstanceLock, ALinkInPlaceOfTheLockFileIsNeverWrittenThrough) {
  test::TempDir dir;
  const auto target = dir / "precious";
  test::WriteFileText(target, "keep me");
  const auto path = dir / kInstanceLockFileName;
  for (const auto& leadsTo : {target, dir / "nowhere"}) {
    SCOPED_TRACE(leadsTo.string());
    std::filesystem::remove(path);
    std::filesystem::create_symlink(leadsTo, path);
    std::string why;
    auto lock = InstanceLock::TryAcquire(path, why);
    EXPECT_NE(lock, nullptr) << why;
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
    std::string why2;
    EXPECT_EQ(InstanceLock::TryAcquire(path, why2), nullptr) << "still one driver per folder";
  }
  EXPECT_EQ(test::ReadFileText(target), "keep me");
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
}
#endif

}  // namespace
}  // namespace kestrel
