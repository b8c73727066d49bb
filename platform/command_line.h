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
  std::string workDir;      // --workdir DIR; empty: the current directory
  std::string metricsFile;  // --metrics FILE; empty: no metrics file
  std::string error;        // Usage: what was wrong, for the message
  // The window toolkit's own options (-platform, -display, -session, -style, ...)
  // are accepted and left in place for the toolkit, which reads them itself.
  // True when one of them chooses where the window goes (-platform, -display):
  // the program then leaves that choice to the toolkit.
  bool displayChosen = false;
};

// Exit status of a command line that cannot be used.
inline constexpr int kUsageExitStatus = 2;

// Parses the arguments after the program name. --version and --help win over
// everything after them is checked; the first unusable argument gives Usage.
// The toolkit's options are recognised in its own spellings: one dash or two,
// the value as the next argument, or after '=' where the toolkit takes that.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// "drvkestrel 8.1.4.30"
std::string VersionLine();
// The options and what they do, several lines.
std::string HelpText();

}  // namespace kestrel
