#include "platform/command_line.h"

#include <array>
#include <string_view>

#include "platform/version.h"

namespace kestrel {
namespace {

// The window toolkit's options, as it reads them from the command line: those
// that take a value, and those that stand alone.
constexpr std::array<std::string_view, 17> kToolkitValueOptions = {
    "platform",        "platformpluginpath",
    "platformtheme",   "plugin",
    "qwindowgeometry", "qwindowicon",
    "qwindowtitle",    "session",
    "display",         "geometry",
    "title",           "name",
    "visual",          "style",
    "stylesheet",      "dialogs",
    "qmljsdebugger"};
constexpr std::array<std::string_view, 7> kToolkitFlags = {
    "reverse", "widgetcount", "nograb", "dograb", "sync", "testability", "fullscreen"};
// Value options the toolkit also takes as "-option=value".
constexpr std::array<std::string_view, 4> kToolkitEqualsOptions = {"style", "stylesheet",
                                                                   "qmljsdebugger", "dialogs"};

template <std::size_t N>
bool OneOf(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::string_view n : names)
    if (n == name) return true;
  return false;
}

// "-platform" or "--platform" as "platform"; empty for anything else.
std::string_view ToolkitName(std::string_view arg) {
  if (arg.size() < 2 || arg[0] != '-') return {};
  arg.remove_prefix(arg[1] == '-' ? 2 : 1);
  return arg;
}

}  // namespace

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
    } else if (a == "--metrics") {
      if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1][0] == '-')
        return usage("option --metrics needs a file");
      out.metricsFile = args[++i];
    } else if (a.rfind("--metrics=", 0) == 0) {
      out.metricsFile = a.substr(10);
      if (out.metricsFile.empty()) return usage("option --metrics needs a file");
    } else if (const std::string_view name = ToolkitName(a); OneOf(kToolkitValueOptions, name)) {
      if (i + 1 >= args.size()) return usage("option " + a + " needs a value");
      ++i;
      if (name == "platform" || name == "display") out.displayChosen = true;
    } else if (OneOf(kToolkitFlags, name)) {
      // left for the toolkit
    } else if (const auto eq = name.find('=');
               eq != std::string_view::npos && OneOf(kToolkitEqualsOptions, name.substr(0, eq))) {
      // left for the toolkit
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
         "  --metrics FILE write the station's metrics to FILE every 10 s and at the\n"
         "                 end (Prometheus text format; replaced whole each time)\n"
         "  --version      print the version and exit\n"
         "  -h, --help     print this help and exit\n"
         "\n"
         "The window toolkit's own options (-platform NAME, -display DISPLAY,\n"
         "-session ID, -style NAME and the like) are passed on to it.\n"
         "Everything else comes from drvkestrel.ini in the working directory.\n";
}

}  // namespace kestrel
