#pragma once

#include <string>
#include <vector>

namespace kestrel {

// The program's command line. With no options the program runs in the current
// directory, exactly as it always has; the settings file stays the only place
// for everything else.
struct CommandLine {
  enum class Action { Run, PrintVersion, PrintHelp, Usage };
  Action action = Action::Run;
  std::string workDir;  // --workdir DIR; empty: the current directory
  std::string error;    // Usage: what was wrong, for the message
};

// Exit status of a command line that cannot be used.
inline constexpr int kUsageExitStatus = 2;

// Parses the arguments after the program name. --version and --help win over
// everything after them is checked; the first unusable argument gives Usage.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// "drvkestrel 8.1.4.30"
std::string VersionLine();
// The options and what they do, several lines.
std::string HelpText();

}  // namespace kestrel
