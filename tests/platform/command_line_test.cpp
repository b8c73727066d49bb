#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/version.h"

namespace kestrel {
namespace {

using Action = CommandLine::Action;

struct Case {
  const char* name;
  std::vector<std::string> args;
  Action action;
  std::string workDir;
  std::string error;  // expected part of the message; empty: none expected
};

class CommandLineTest : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLineTest, Parses) {
  const Case& c = GetParam();
  const CommandLine cmd = ParseCommandLine(c.args);
  EXPECT_EQ(cmd.action, c.action);
  EXPECT_EQ(cmd.workDir, c.action == Action::Usage ? std::string() : c.workDir);
  if (c.error.empty()) {
    EXPECT_TRUE(cmd.error.empty()) << cmd.error;
  } else {
    EXPECT_NE(cmd.error.find(c.error), std::string::npos) << cmd.error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLineTest,
    ::testing::Values(
        Case{"NoOptionsRunsHere", {}, Action::Run, "", ""},
        Case{"Version", {"--version"}, Action::PrintVersion, "", ""},
        Case{"Help", {"--help"}, Action::PrintHelp, "", ""},
        Case{"ShortHelp", {"-h"}, Action::PrintHelp, "", ""},
        Case{"HelpWinsOverVersion", {"--version", "--help"}, Action::PrintHelp, "", ""},
        Case{"Workdir",
             {"--workdir", "/var/lib/drvkestrel"},
             Action::Run,
             "/var/lib/drvkestrel",
             ""},
        Case{"WorkdirWithEquals", {"--workdir=/srv/k"}, Action::Run, "/srv/k", ""},
        Case{"WorkdirWithSpaces", {"--workdir", "a b"}, Action::Run, "a b", ""},
        Case{"LastWorkdirCounts", {"--workdir", "a", "--workdir", "b"}, Action::Run, "b", ""},
        Case{"WorkdirMissing", {"--workdir"}, Action::Usage, "", "--workdir needs a folder"},
        Case{"WorkdirEmpty", {"--workdir="}, Action::Usage, "", "--workdir needs a folder"},
        Case{"WorkdirFollowedByOption",
             {"--workdir", "--version"},
             Action::Usage,
             "",
             "--workdir needs a folder"},
        Case{"UnknownLong", {"--verbose"}, Action::Usage, "", "unknown option --verbose"},
        Case{"UnknownShort", {"-x"}, Action::Usage, "", "unknown option -x"},
        Case{"UnknownAfterVersion",
             {"--version", "--bogus"},
             Action::Usage,
             "",
             "unknown option --bogus"},
        Case{"StrayArgument", {"COM1"}, Action::Usage, "", "unexpected argument COM1"},
        // The window toolkit's options pass, in its own spellings.
        Case{"ToolkitPlatform", {"-platform", "offscreen"}, Action::Run, "", ""},
        Case{"ToolkitSessionAndWorkdir",
             {"-session", "1a2b3c_1", "--workdir", "/srv/k"},
             Action::Run,
             "/srv/k",
             ""},
        Case{"ToolkitTwoDashes", {"--display", ":1", "--reverse"}, Action::Run, "", ""},
        Case{"ToolkitStyleWithEquals", {"-style=fusion"}, Action::Run, "", ""},
        Case{"ToolkitStyleSeparate",
             {"-style", "fusion", "-stylesheet", "a.qss"},
             Action::Run,
             "",
             ""},
        Case{"ToolkitValueMissing", {"-platform"}, Action::Usage, "", "-platform needs a value"},
        Case{"ToolkitNameAsPrefixOnly", {"-platforms"}, Action::Usage, "", "unknown option"},
        Case{"EqualsWhereTheToolkitTakesNone",
             {"-platform=offscreen"},
             Action::Usage,
             "",
             "unknown option -platform=offscreen"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(CommandLine, MetricsFile) {
  const struct {
    std::vector<std::string> args;
    Action action;
    std::string file;
  } cases[] = {
      {{"--metrics", "/var/lib/k/drvkestrel.prom"}, Action::Run, "/var/lib/k/drvkestrel.prom"},
      {{"--metrics=m.prom", "--workdir", "w"}, Action::Run, "m.prom"},
      {{"--metrics"}, Action::Usage, ""},
      {{"--metrics="}, Action::Usage, ""},
      {{"--metrics", "--workdir", "w"}, Action::Usage, ""},
  };
  for (const auto& c : cases) {
    const CommandLine cmd = ParseCommandLine(c.args);
    EXPECT_EQ(cmd.action, c.action) << c.args[0];
    if (c.action == Action::Run)
      EXPECT_EQ(cmd.metricsFile, c.file);
    else
      EXPECT_NE(cmd.error.find("--metrics needs a file"), std::string::npos) << cmd.error;
  }
}

TEST(CommandLine, DisplayChosenOnlyByPlatformOrDisplay) {
  const struct {
    std::vector<std::string> args;
    bool chosen;
  } cases[] = {
      {{"-platform", "xcb"}, true},
      {{"--display", ":0"}, true},
      {{"-session", "x", "-style", "fusion"}, false},
      {{}, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseCommandLine(c.args).displayChosen, c.chosen) << c.args.size();
}

TEST(CommandLineTexts, VersionAndHelpNameTheProgram) {
  EXPECT_EQ(VersionLine(), std::string("drvkestrel ") + kVersionText);
  const std::string help = HelpText();
  for (const char* option : {"--workdir DIR", "--version", "--help"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace kestrel
