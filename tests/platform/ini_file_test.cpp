#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "platform/file_system.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::TempDir;
using test::WriteFileText;

class IniFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
  DiskFileSystem disk_;
  fs::path file_ = dir_ / "drvkestrel.ini";
  IniFile ini_{file_, disk_};
};

TEST_F(IniFileTest, MissingFileGivesEveryDefault) {
  EXPECT_EQ(ini_.ReadString("main", "ComPort", "COM128"), "COM128");
  EXPECT_EQ(ini_.ReadInteger("ServerHost", "Port", 12543), 12543);
  EXPECT_FALSE(ini_.ReadBool("main", "Log", false));
  EXPECT_TRUE(ini_.ReadBool("main", "Log", true));
}

TEST_F(IniFileTest, ReadsTextIntegersAndFlags) {
  WriteFileText(file_,
                "[MAIN]\r\ncomport = COM3 \r\nbr=9600\r\nFirstNumber=300\r\nNoTimeTest=$1E\r\n"
                "Log=1\r\nOff=0\r\nWord=true\r\nHex=0x10\r\nJunk=12a\r\nEmpty=\r\n"
                "[ServerHost]\r\nAddress=10.0.0.5\r\nPort=-1\r\n");
  EXPECT_EQ(ini_.ReadString("main", "ComPort", "COM128"), "COM3");
  EXPECT_EQ(ini_.ReadString("main", "Empty", "def"), "");  // present but empty: not the default
  EXPECT_EQ(ini_.ReadString("ServerHost", "Address", "127.0.0.1"), "10.0.0.5");
  EXPECT_EQ(ini_.ReadString("ServerHost", "br", "none"), "none");

  struct IntCase {
    const char* key;
    std::int32_t def;
    std::int32_t expected;
  };
  const IntCase ints[] = {{"br", 2400, 9600}, {"FirstNumber", 1, 300}, {"NoTimeTest", 30, 30},
                          {"Hex", 0, 16},     {"Junk", 7, 7},          {"Word", 7, 7},
                          {"Empty", 7, 7},    {"Missing", -5, -5}};
  for (const auto& c : ints) {
    EXPECT_EQ(ini_.ReadInteger("main", c.key, c.def), c.expected) << c.key;
  }
  EXPECT_EQ(ini_.ReadInteger("ServerHost", "Port", 12543), -1);

  struct FlagCase {
    const char* key;
    bool def;
    bool expected;
  };
  const FlagCase flags[] = {{"Log", false, true},   {"Off", true, false}, {"Hex", false, true},
                            {"Word", false, false}, {"Word", true, true}, {"Junk", true, true},
                            {"Missing", true, true}};
  for (const auto& c : flags) {
    EXPECT_EQ(ini_.ReadBool("main", c.key, c.def), c.expected) << c.key << " " << c.def;
  }
}

TEST_F(IniFileTest, TextValuesAreCutTo2047Characters) {
  for (std::size_t length : {2046u, 2047u, 2048u, 5000u}) {
    std::string value(length, 'a');
    value.back() = 'z';
    WriteFileText(file_, "[main]\r\nPathForSoob=" + value + "\r\n");
    const std::string read = ini_.ReadString("main", "PathForSoob", "");
    EXPECT_EQ(read, value.substr(0, 2047)) << length;
  }
}

TEST_F(IniFileTest, WriteCreatesTheFileAndKeepsOtherLines) {
  ini_.WriteString("main", "ComPort", "COM5");
  EXPECT_EQ(ReadFileText(file_), "[main]\r\nComPort=COM5\r\n");

  const std::string original =
      "; station 4\n[main]\nComPort=COM5\nbr=9600\n\n[ServerHost]\nAddress=srv\n";
  WriteFileText(file_, original);
  ini_.WriteString("MAIN", "comport", "COM7");
  EXPECT_EQ(ReadFileText(file_),
            "; station 4\n[main]\nComPort=COM7\r\nbr=9600\n\n[ServerHost]\nAddress=srv\n");
  EXPECT_EQ(ini_.ReadString("main", "ComPort", ""), "COM7");
  ini_.WriteString("ServerHost", "Port", "12000");
  EXPECT_EQ(ini_.ReadInteger("ServerHost", "Port", 0), 12000);
  EXPECT_EQ(ini_.ReadString("ServerHost", "Address", ""), "srv");

  // Nothing but the settings file is left in the folder.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_.Path()))
    names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"drvkestrel.ini"});
}

// Runs the test body with the process's current directory set to `dir`.
class CurrentDirectoryScope {
 public:
  explicit CurrentDirectoryScope(const fs::path& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~CurrentDirectoryScope() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(IniFileTest, FailedWriteNamesTheFullFileAndKeepsTheOldContent) {
  struct Case {
    const char* what;
    std::string relative;  // the name the service is given, relative to the folder
    std::function<void()> setUp;
  };
  const Case cases[] = {
      {"folder missing", "nowhere/drvkestrel.ini", [] {}},
      {"the settings file is a folder", "drvkestrel.ini", [this] { fs::create_directory(file_); }},
  };
  CurrentDirectoryScope cwd(dir_.Path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.setUp();
    IniFile relative(c.relative, disk_);
    try {
      relative.WriteString("main", "ComPort", "COM5");
      ADD_FAILURE() << "no error";
    } catch (const IniWriteError& e) {
      EXPECT_EQ(
          std::string(e.what()),
          "Unable to write to " + (dir_.Path() / fs::path(c.relative).make_preferred()).string());
    }
  }
  EXPECT_TRUE(fs::is_directory(file_));
  EXPECT_TRUE(fs::is_empty(file_));
}

TEST_F(IniFileTest, UnreadableOrUnwritableFileIsNeverClobbered) {
  using Op = test::FaultyFileSystem::Op;
  const std::string original = "[main]\r\nComPort=COM1\r\nbr=9600\r\n";
  for (Op op : {Op::ReadAll, Op::Replace}) {
    WriteFileText(file_, original);
    test::FaultyFileSystem files;
    files.Fail(op);
    IniFile ini(file_, files);
    // A file that exists but cannot be read is not replaced by one holding only
    // this key: the other settings would be lost.
    try {
      ini.WriteString("main", "ComPort", "COM5");
      ADD_FAILURE() << "no error";
    } catch (const IniWriteError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + file_.string());
    }
    EXPECT_EQ(ReadFileText(file_), original);
    // Reading never fails: an unreadable file gives the defaults.
    EXPECT_EQ(ini.ReadInteger("main", "br", 2400), op == Op::ReadAll ? 2400 : 9600);
  }
}

TEST_F(IniFileTest, BadNameIsAWriteError) {
  WriteFileText(file_, "[main]\r\nbr=1\r\n");
  EXPECT_THROW(ini_.WriteString("main", "a=b", "1"), IniWriteError);
  EXPECT_EQ(ReadFileText(file_), "[main]\r\nbr=1\r\n");
}

}  // namespace
}  // namespace kestrel
