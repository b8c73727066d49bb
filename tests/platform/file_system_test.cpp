#include "platform/file_system.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif
#include <functional>
#include <future>
#include <thread>

#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::ReadFileText;
using test::TempDir;
using test::WriteFileText;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

class DiskFileSystemTest : public ::testing::Test {
 protected:
  TempDir dir_;
  DiskFileSystem disk_;
  fs::path P(const std::string& name) const { return dir_ / name; }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& e : disk_.List(dir_.Path())) names.push_back(e.name);
    return names;
  }
};

TEST_F(DiskFileSystemTest, ExistsAndReadAll) {
  EXPECT_FALSE(disk_.Exists(P("missing")));
  EXPECT_EQ(disk_.ReadAll(P("missing")), std::nullopt);
  EXPECT_EQ(disk_.ReadAll(dir_.Path()), std::nullopt);  // a folder is not a file

  WriteFileText(P("empty"), "");
  EXPECT_TRUE(disk_.Exists(P("empty")));
  EXPECT_EQ(disk_.ReadAll(P("empty")), Bytes{});

  Bytes big(200000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  test::WriteFileBytes(P("big"), big);
  EXPECT_EQ(disk_.ReadAll(P("big")), big);
}

TEST_F(DiskFileSystemTest, AppendCreatesAndExtends) {
  EXPECT_TRUE(disk_.Append(P("log"), B("ab")));
  EXPECT_TRUE(disk_.Append(P("log"), B("")));
  EXPECT_TRUE(disk_.Append(P("log"), B("cd")));
  EXPECT_EQ(ReadFileText(P("log")), "abcd");
  EXPECT_FALSE(disk_.Append(P("no-such-folder/log"), B("x")));
}

TEST_F(DiskFileSystemTest, AppendFromManyThreadsLosesNothing) {
  // Appends of one record each never interleave, as with several writers sharing the file.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Bytes rec(16, static_cast<std::uint8_t>('a' + t));
      for (int i = 0; i < 200; ++i) ASSERT_TRUE(disk_.Append(P("shared"), rec));
    });
  }
  for (auto& th : threads) th.join();
  const Bytes all = ReadFileBytes(P("shared"));
  ASSERT_EQ(all.size(), 4u * 200 * 16);
  for (std::size_t r = 0; r < all.size(); r += 16) {
    for (std::size_t i = 1; i < 16; ++i) ASSERT_EQ(all[r + i], all[r]) << r;
  }
}

TEST_F(DiskFileSystemTest, WriteAtPlacesBytesWithoutTruncating) {
  for (bool durable : {false, true}) {
    SCOPED_TRACE(durable);
    const fs::path f = P(durable ? "durable" : "plain");
    EXPECT_TRUE(disk_.WriteAt(f, 0, B("0123456789"), durable));
    EXPECT_TRUE(disk_.WriteAt(f, 2, B("ab"), durable));
    EXPECT_EQ(ReadFileText(f), "01ab456789");
    EXPECT_TRUE(disk_.WriteAt(f, 12, B("Z"), durable));  // beyond the end: a zero-filled gap
    EXPECT_EQ(ReadFileText(f), std::string("01ab456789\0\0Z", 13));
  }
  // Creates a missing file, at any offset.
  EXPECT_TRUE(disk_.WriteAt(P("fresh"), 3, B("x"), true));
  EXPECT_EQ(ReadFileText(P("fresh")), std::string("\0\0\0x", 4));
  EXPECT_FALSE(disk_.WriteAt(P("no-such-folder/f"), 0, B("x"), true));
}

TEST_F(DiskFileSystemTest, Truncate) {
  WriteFileText(P("f"), "0123456789");
  EXPECT_TRUE(disk_.Truncate(P("f"), 4));
  EXPECT_EQ(ReadFileText(P("f")), "0123");
  EXPECT_FALSE(disk_.Truncate(P("missing"), 0));
  EXPECT_FALSE(disk_.Exists(P("missing")));  // never created by a truncate
}

TEST_F(DiskFileSystemTest, WriteNewNeverOverwrites) {
  for (bool durable : {false, true}) {
    SCOPED_TRACE(durable);
    const fs::path f = P(durable ? "d" : "n");
    EXPECT_TRUE(disk_.WriteNew(f, B("first"), durable));
    EXPECT_FALSE(disk_.WriteNew(f, B("second"), durable));
    EXPECT_EQ(ReadFileText(f), "first");  // the existing file is neither touched nor removed
  }
  EXPECT_FALSE(disk_.WriteNew(P("no-such-folder/f"), B("x"), true));
}

#ifndef _WIN32
// Makes every write beyond `limit` bytes of a file fail (EFBIG), as a full disk
// would, for as long as the object lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lower = saved_;
    lower.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(DiskFileSystemTest, FailedWritesLeaveNoPartialOrTemporaryFiles) {
  WriteFileText(P("settings.ini"), "old content");
  const Bytes big(10000, 'x');
  {
    FileSizeLimit limit(4096);  // the first 4096 bytes are written, then writing fails
    EXPECT_FALSE(disk_.WriteNew(P("spool"), big, true));
    EXPECT_FALSE(disk_.WriteNew(P("spool2"), big, false));
    EXPECT_FALSE(disk_.Replace(P("settings.ini"), big));
    EXPECT_FALSE(disk_.Append(P("log"), big));
    EXPECT_FALSE(disk_.WriteAt(P("table"), 0, big, true));
  }
  EXPECT_FALSE(disk_.Exists(P("spool")));
  EXPECT_FALSE(disk_.Exists(P("spool2")));
  EXPECT_EQ(ReadFileText(P("settings.ini")), "old content");
  EXPECT_EQ(Names(), (std::vector<std::string>{"log", "settings.ini", "table"}));
  // Once writes work again, so does everything.
  EXPECT_TRUE(disk_.WriteNew(P("spool"), big, true));
  EXPECT_TRUE(disk_.Replace(P("settings.ini"), big));
  EXPECT_EQ(ReadFileBytes(P("settings.ini")), big);
}
#endif  // Windows has no per-process file size limit to make writes fail with.

TEST_F(DiskFileSystemTest, ReplaceSwapsTheWholeContentAndLeavesNoTemporaryFile) {
  EXPECT_TRUE(disk_.Replace(P("settings.ini"), B("new file")));
  EXPECT_EQ(ReadFileText(P("settings.ini")), "new file");
  EXPECT_TRUE(disk_.Replace(P("settings.ini"), B("shorter")));
  EXPECT_EQ(ReadFileText(P("settings.ini")), "shorter");
  EXPECT_TRUE(disk_.Replace(P("settings.ini"), B("")));
  EXPECT_EQ(ReadFileText(P("settings.ini")), "");
  EXPECT_EQ(Names(), std::vector<std::string>{"settings.ini"});
  EXPECT_FALSE(disk_.Replace(P("no-such-folder/f"), B("x")));
  EXPECT_EQ(Names(), std::vector<std::string>{"settings.ini"});
}

TEST_F(DiskFileSystemTest, ReplaceKeepsRightsAndReplacesASymbolicLinkItself) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX rights; symbolic links need a privilege on Windows";
#else
  WriteFileText(P("table"), "old");
  ASSERT_EQ(::chmod(P("table").c_str(), 0640), 0);
  EXPECT_TRUE(disk_.Replace(P("table"), B("new")));
  struct stat st {};
  ASSERT_EQ(::stat(P("table").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A link planted under the name: the file takes the link's place, and what it
  // led to is never written.
  WriteFileText(P("elsewhere"), "keep");
  fs::create_symlink("elsewhere", P("link"));
  EXPECT_TRUE(disk_.Replace(P("link"), B("new")));
  EXPECT_FALSE(fs::is_symlink(P("link")));
  EXPECT_EQ(ReadFileText(P("link")), "new");
  EXPECT_EQ(ReadFileText(P("elsewhere")), "keep");
#endif
}

TEST_F(DiskFileSystemTest, RenameNoReplaceNeverReplaces) {
  WriteFileText(P("a"), "A");
  WriteFileText(P("b"), "B");
  EXPECT_FALSE(disk_.RenameNoReplace(P("a"), P("b")));
  EXPECT_EQ(ReadFileText(P("a")), "A");
  EXPECT_EQ(ReadFileText(P("b")), "B");
  EXPECT_TRUE(disk_.RenameNoReplace(P("a"), P("c")));
  EXPECT_FALSE(disk_.Exists(P("a")));
  EXPECT_EQ(ReadFileText(P("c")), "A");
  EXPECT_FALSE(disk_.RenameNoReplace(P("missing"), P("d")));
  EXPECT_FALSE(disk_.Exists(P("d")));
}

TEST_F(DiskFileSystemTest, RemoveAndCreateDirectories) {
  WriteFileText(P("f"), "x");
  EXPECT_TRUE(disk_.Remove(P("f")));
  EXPECT_FALSE(disk_.Exists(P("f")));
  EXPECT_FALSE(disk_.Remove(P("f")));

  EXPECT_TRUE(disk_.CreateDirectories(P("a/b/c")));
  EXPECT_TRUE(fs::is_directory(P("a/b/c")));
  EXPECT_TRUE(disk_.CreateDirectories(P("a/b/c")));  // already there
  WriteFileText(P("file"), "x");
  EXPECT_FALSE(disk_.CreateDirectories(P("file")));
  EXPECT_FALSE(disk_.CreateDirectories(P("file/sub")));
}

TEST_F(DiskFileSystemTest, ListGivesNamesSizesAndKinds) {
  WriteFileText(P("b.dd8"), "12345");
  WriteFileText(P("a.dd8"), "");
  fs::create_directory(P("sub"));
  struct Expect {
    const char* name;
    bool regular;
    std::uint64_t size;
  };
#ifdef _WIN32
  // Symbolic links need a privilege on Windows: files and folders only.
  const std::vector<Expect> expected = {{"a.dd8", true, 0}, {"b.dd8", true, 5}, {"sub", false, 0}};
#else
  fs::create_symlink("b.dd8", P("c-link"));
  fs::create_symlink("nowhere", P("d-dangling"));
  // A link is not a file, not even one leading to a file: it is not followed.
  const std::vector<Expect> expected = {{"a.dd8", true, 0},
                                        {"b.dd8", true, 5},
                                        {"c-link", false, 0},
                                        {"d-dangling", false, 0},
                                        {"sub", false, 0}};
#endif
  const auto entries = disk_.List(dir_.Path());
  ASSERT_EQ(entries.size(), expected.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(entries[i].name, expected[i].name);
    EXPECT_EQ(entries[i].regular, expected[i].regular);
    EXPECT_EQ(entries[i].size, expected[i].size);
  }
  const auto mtime = fs::last_write_time(P("b.dd8"));
  EXPECT_EQ(entries[1].modified, mtime);
  EXPECT_TRUE(disk_.List(P("missing")).empty());
  EXPECT_TRUE(disk_.List(P("b.dd8")).empty());
}

#ifdef _WIN32
TEST_F(DiskFileSystemTest, WindowsDevicesAndFoldersAreNeverOpenedAsFiles) {
  // Reading a device would wait for input that may never come (CON) or change the
  // lines of a port (COM1); a folder is no file either.
  for (const char* name : {"NUL", "CON", "COM1", "\\\\.\\pipe\\kestrel-none"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(disk_.ReadAll(name), std::nullopt);
    EXPECT_FALSE(disk_.Replace(name, B("x")));
  }
  fs::create_directory(P("folder"));
  EXPECT_EQ(disk_.ReadAll(P("folder")), std::nullopt);
  EXPECT_FALSE(disk_.Append(P("folder"), B("x")));
  EXPECT_FALSE(disk_.WriteAt(P("folder"), 0, B("x"), true));
  EXPECT_FALSE(disk_.Replace(P("folder"), B("x")));
  EXPECT_FALSE(disk_.WriteNew(P("folder"), B("x"), true));
  EXPECT_TRUE(fs::is_directory(P("folder")));
  EXPECT_EQ(Names(), std::vector<std::string>{"folder"});  // no temporary file left behind
}

TEST_F(DiskFileSystemTest, WideNamesReachTheDisk) {
  const fs::path name = P("") / fs::path(u8"Журнал событий.txt");
  EXPECT_TRUE(disk_.WriteNew(name, B("one"), true));
  EXPECT_TRUE(disk_.Append(name, B("two")));
  EXPECT_EQ(disk_.ReadAll(name), B("onetwo"));
  EXPECT_TRUE(disk_.Replace(name, B("three")));
  EXPECT_EQ(disk_.ReadAll(name), B("three"));
  const fs::path moved = P("") / fs::path(u8"Архив.txt");
  EXPECT_TRUE(disk_.RenameNoReplace(name, moved));
  EXPECT_FALSE(disk_.Exists(name));
  EXPECT_TRUE(disk_.Remove(moved));
  EXPECT_TRUE(fs::is_empty(dir_.Path()));
}
#endif  // _WIN32

// Something that is not a regular file in place of a file (a folder, a FIFO) is
// refused by every operation that opens an existing file, at once: a FIFO named
// like the settings or the table file must never hold start-up or the link up.
struct NotAFileCase {
  const char* operation;
  std::function<bool(DiskFileSystem&, const fs::path&)> run;  // true: succeeded
};

const NotAFileCase kNotAFileCases[] = {
    {"ReadAll", [](DiskFileSystem& d, const fs::path& p) { return d.ReadAll(p).has_value(); }},
    {"Append", [](DiskFileSystem& d, const fs::path& p) { return d.Append(p, B("x")); }},
    {"WriteAt",
     [](DiskFileSystem& d, const fs::path& p) { return d.WriteAt(p, 0, B("x"), false); }},
    {"WriteAt durable",
     [](DiskFileSystem& d, const fs::path& p) { return d.WriteAt(p, 4, B("x"), true); }},
    {"Truncate", [](DiskFileSystem& d, const fs::path& p) { return d.Truncate(p, 0); }},
    {"WriteNew", [](DiskFileSystem& d, const fs::path& p) { return d.WriteNew(p, B("x"), true); }},
};

TEST_F(DiskFileSystemTest, AFolderInPlaceOfAFileIsRefused) {
  ASSERT_TRUE(fs::create_directory(P("num.mmm")));
  for (const NotAFileCase& c : kNotAFileCases) {
    SCOPED_TRACE(c.operation);
    EXPECT_FALSE(c.run(disk_, P("num.mmm")));
    EXPECT_TRUE(fs::is_directory(P("num.mmm")));
  }
}

#ifndef _WIN32
// A symbolic link in place of a file, leading to a file elsewhere or nowhere: every
// operation refuses it, and nothing is read, written or made where it leads.
TEST_F(DiskFileSystemTest, ALinkInPlaceOfAFileIsNeverFollowed) {
  fs::create_directory(P("elsewhere"));
  const fs::path target = P("elsewhere") / "passwd";
  for (bool dangling : {false, true}) {
    SCOPED_TRACE(dangling ? "leading nowhere" : "leading to a file");
    fs::remove(target);
    if (!dangling) WriteFileText(target, "root:x:0:0");
    fs::remove(P("num.mmm"));
    fs::create_symlink(target, P("num.mmm"));
    EXPECT_TRUE(disk_.Exists(P("num.mmm"))) << "the name is taken all the same";
    EXPECT_FALSE(disk_.IsRegularFile(P("num.mmm")));
    for (const NotAFileCase& c : kNotAFileCases) {
      SCOPED_TRACE(c.operation);
      EXPECT_FALSE(c.run(disk_, P("num.mmm")));
    }
    EXPECT_FALSE(disk_.FlushFile(P("num.mmm")));
    EXPECT_EQ(disk_.OpenForUpdate(P("num.mmm")), nullptr);
    EXPECT_TRUE(fs::is_symlink(P("num.mmm")));
    if (dangling) {
      EXPECT_FALSE(fs::exists(target)) << "made through the link";
    } else {
      EXPECT_EQ(ReadFileText(target), "root:x:0:0");
    }
  }
  WriteFileText(P("plain"), "x");
  EXPECT_TRUE(disk_.IsRegularFile(P("plain")));
  EXPECT_FALSE(disk_.IsRegularFile(dir_.Path()));
  EXPECT_FALSE(disk_.IsRegularFile(P("missing")));
}

// A file kept open tells whether its name still leads to it.
TEST_F(DiskFileSystemTest, AnOpenFileTellsWhetherItsNameStillLeadsToIt) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> meddle;
    bool stillAt;
  };
  const Case cases[] = {
      {"left alone", [](const fs::path&) {}, true},
      {"written by others in place",
       [](const fs::path& p) { test::WriteFileBytes(p, Bytes(37, 0)); }, true},
      {"replaced by mv",
       [this](const fs::path& p) {
         WriteFileText(P("backup"), "old");
         fs::rename(P("backup"), p);
       },
       false},
      {"removed", [](const fs::path& p) { fs::remove(p); }, false},
      {"replaced by a link to itself",
       [this](const fs::path& p) {
         fs::rename(p, P("moved"));
         fs::create_symlink(P("moved"), p);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(P("num.mmm"));
    WriteFileText(P("num.mmm"), "0123456789abcdef");
    const auto file = disk_.OpenForUpdate(P("num.mmm"));
    ASSERT_NE(file, nullptr);
    c.meddle(P("num.mmm"));
    EXPECT_EQ(file->IsStillAt(P("num.mmm")), c.stillAt);
  }
}

// Runs the operation on another thread; a call still blocked after a generous
// while is released by opening the FIFO's other end, and counts as a failure.
bool RunWithoutBlocking(const std::function<bool()>& op, const fs::path& fifo, bool& result) {
  auto done = std::async(std::launch::async, op);
  if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
    result = done.get();
    return true;
  }
  const int other = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  result = done.get();
  if (other >= 0) ::close(other);
  return false;
}

TEST_F(DiskFileSystemTest, AFifoInPlaceOfAFileIsRefusedWithoutBlocking) {
  const fs::path fifo = P("num.mmm");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (bool readerPresent : {false, true}) {
    // With a reader on the FIFO a write open would succeed: the kind check refuses it.
    const int reader = readerPresent ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    if (readerPresent) {
      ASSERT_GE(reader, 0);
    }
    for (const NotAFileCase& c : kNotAFileCases) {
      SCOPED_TRACE(std::string(c.operation) + (readerPresent ? ", reader present" : ""));
      bool result = true;
      EXPECT_TRUE(RunWithoutBlocking([&] { return c.run(disk_, fifo); }, fifo, result))
          << "blocked on the FIFO";
      EXPECT_FALSE(result);
    }
    if (reader >= 0) {
      char buf[8];
      EXPECT_LE(::read(reader, buf, sizeof buf), 0) << "something was written into the FIFO";
      ::close(reader);
    }
  }
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
#endif

}  // namespace
}  // namespace kestrel
