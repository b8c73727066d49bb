#include "platform/command_line.h"

#include "platform/version.h"

namespace kestrel {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine out;
  bool version = false;
  bool help = false;
  auto usage = [](std::string why) {
    CommandLine bad;
    bad.action = CommandLine::Action::Usage;
    bad.error = std::move(why);
    return bad;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--version") {
      version = true;
    } else if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--workdir") {
      if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1][0] == '-')
        return usage("option --workdir needs a folder");
      out.workDir = args[++i];
    } else if (a.rfind("--workdir=", 0) == 0) {
      out.workDir = a.substr(10);
      if (out.workDir.empty()) return usage("option --workdir needs a folder");
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else {
      return usage("unexpected argument " + a);
    }
  }
  if (help)
    out.action = CommandLine::Action::PrintHelp;
  else if (version)
    out.action = CommandLine::Action::PrintVersion;
  return out;
}

std::string VersionLine() { return std::string("drvkestrel ") + kVersionText; }

std::string HelpText() {
  return "Usage: drvkestrel [--workdir DIR]\n"
         "Receiver driver of the monitoring station: reads the receiver on the serial\n"
         "port and delivers its events to the message server.\n"
         "\n"
         "  --workdir DIR  run in DIR (settings, transmitter table, spool files, ports/);\n"
         "                 default: the current directory\n"
         "  --version      print the version and exit\n"
         "  -h, --help     print this help and exit\n"
         "\n"
         "Everything else comes from drvkestrel.ini in the working directory.\n";
}

}  // namespace kestrel
