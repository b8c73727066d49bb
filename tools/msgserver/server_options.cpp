#include "tools/msgserver/server_options.h"

#include <charconv>
#include <limits>

namespace kestrel::msgserver {

namespace {

std::optional<std::int64_t> ToNumber(const std::string& text, std::int64_t min, std::int64_t max) {
  std::int64_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec != std::errc() || ptr != last || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

ParseOutcome ParseServerOptions(const std::vector<std::string>& args) {
  ParseOutcome out;
  ServerOptions& o = out.options;
  constexpr std::int64_t kMaxCount = std::numeric_limits<std::int32_t>::max();
  bool echo = false;
  bool ownCounter = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.erase(eq);
    }
    // Takes the option's number: "--name N" or "--name=N".
    const auto number = [&](std::int64_t min, std::int64_t max) -> std::optional<std::int64_t> {
      std::string text;
      if (inlineValue) {
        text = *inlineValue;
      } else if (i + 1 < args.size()) {
        text = args[++i];
      } else {
        out.error = name + " needs a number";
        return std::nullopt;
      }
      auto value = ToNumber(text, min, max);
      if (!value) {
        out.error = name + ": '" + text + "' is not a number from " + std::to_string(min) + " to " +
                    std::to_string(max);
      }
      return value;
    };
    const auto flag = [&](bool& target) {
      if (inlineValue) {
        out.error = name + " takes no value";
        return;
      }
      target = true;
    };

    if (name == "--help" || name == "-h") {
      out.help = true;
    } else if (name == "--port") {
      if (auto v = number(0, 65535)) o.port = static_cast<std::uint16_t>(*v);
    } else if (name == "--verbose") {
      flag(o.verbose);
    } else if (name == "--deny") {
      flag(o.deny);
    } else if (name == "--trickle-ms") {
      if (auto v = number(0, 60000)) o.trickleMs = *v;
    } else if (name == "--no-reply") {
      flag(o.noReply);
    } else if (name == "--huge-length") {
      flag(o.hugeLength);
    } else if (name == "--timestamps") {
      flag(o.timestamps);
    } else if (name == "--no-ack") {
      flag(o.noAck);
    } else if (name == "--drop-after") {
      o.dropAfter = number(0, kMaxCount);
    } else if (name == "--disconnect-after") {
      o.disconnectAfter = number(0, kMaxCount);
    } else if (name == "--close-after") {
      o.closeAfter = number(0, kMaxCount);
    } else if (name == "--garbage-after") {
      o.garbageAfter = number(0, kMaxCount);
    } else if (name == "--query-every") {
      o.queryEvery = number(1, kMaxCount);
    } else if (name == "--echo") {
      flag(echo);
      if (echo) o.replySequence = ServerOptions::ReplySequence::Echo;
    } else if (name == "--own-counter") {
      flag(ownCounter);
      if (ownCounter) o.replySequence = ServerOptions::ReplySequence::OwnCounter;
    } else if (name == "--query-keepalive-every") {
      o.queryKeepAliveEvery = number(1, kMaxCount);
    } else if (name == "--query-hello") {
      flag(o.queryHello);
    } else if (name == "--late-ms") {
      if (auto v = number(0, 3600000)) o.lateMs = *v;
    } else if (name == "--late-at") {
      o.lateAt = number(1, kMaxCount);
    } else if (name == "--late-every") {
      o.lateEvery = number(1, kMaxCount);
    } else if (name == "--miss-every") {
      o.missEvery = number(1, kMaxCount);
    } else if (name == "--extra-every") {
      o.extraEvery = number(1, kMaxCount);
    } else if (name == "--down-after-ms") {
      o.downAfterMs = number(0, kMaxCount);
    } else if (name == "--up-after-ms") {
      o.upAfterMs = number(0, kMaxCount);
    } else if (name == "--down-mode") {
      std::string mode;
      if (inlineValue) {
        mode = *inlineValue;
      } else if (i + 1 < args.size()) {
        mode = args[++i];
      }
      if (mode == "refuse") {
        o.downMode = ServerOptions::DownMode::Refuse;
      } else if (mode == "pause") {
        o.downMode = ServerOptions::DownMode::Pause;
      } else {
        out.error = "--down-mode: '" + mode + "' is neither refuse nor pause";
      }
    } else if (name == "--delay-ms") {
      if (auto v = number(0, 3600000)) o.delayMs = *v;
    } else {
      out.error = "unknown option '" + args[i] + "'";
    }
    if (!out.error.empty()) return out;
  }
  if (echo && ownCounter) out.error = "--echo and --own-counter exclude each other";
  return out;
}

std::string ServerUsage() {
  return "usage: msgserver [options]\n"
         "Message server simulator: accepts one driver at a time on 127.0.0.1 and answers\n"
         "every block with one reply block.\n"
         "  --port N              listen on port N (default 12543; 0 picks a free port)\n"
         "  --verbose             also print packets other than events, and every reply\n"
         "  --deny                answer cmdVersion with cmdAccessDenied\n"
         "  --drop-after N        after N packets on a connection, answer with cmdDropLink\n"
         "  --disconnect-after N  after N packets, answer with cmdServerDisconnect\n"
         "  --close-after N       after N packets, close the connection without a reply\n"
         "  --garbage-after N     after N packets, reply with 21 bytes of garbage\n"
         "  --query-every N       every Nth reply on a connection is cmdQuery\n"
         "  --delay-ms N          delay every reply by N ms\n"
         "  --trickle-ms N        send replies one byte at a time, N ms apart\n"
         "  --no-reply            never reply\n"
         "  --huge-length         replies announce a block of 2 GiB - 1 bytes\n"
         "  --no-ack              answer events with keepalive instead of cmdEventAck\n"
         "  --echo                replies carry the sequence number of the block they answer\n"
         "                        (by default every reply carries 0)\n"
         "  --own-counter         replies carry the server's own count of replies on the\n"
         "                        connection: 0, 1, 2, ...\n"
         "  --query-keepalive-every N  answer every Nth keepalive of a connection with cmdQuery\n"
         "  --query-hello         answer Hello with cmdQuery\n"
         "  --late-ms N           delay the late replies by N ms more (later replies wait\n"
         "                        behind them)\n"
         "  --late-at N           the reply to the Nth event of the run is late\n"
         "  --late-every N        the reply to every Nth event of the run is late\n"
         "  --miss-every N        never answer every Nth event of the run (breaks the rule)\n"
         "  --extra-every N       send an unasked cmdQuery ahead of the reply to every Nth\n"
         "                        event of the run (breaks the rule)\n"
         "  --timestamps          start every output line with the time it was made\n"
         "                        (seconds since 1970 with microseconds, then a space)\n"
         "  --down-after-ms N     go down N ms after start (SIGUSR1 also toggles down/up)\n"
         "  --up-after-ms N       come back up N ms after each down\n"
         "  --down-mode M         refuse: close the connection and stop listening (default);\n"
         "                        pause: keep both, accept nothing, answer nothing\n"
         "  --help                this text\n"
         "\"After N packets\": the first N packets of a connection are answered normally.\n"
         "Output lines: listening 127.0.0.1:<port>, connected, disconnected, registered,\n"
         "event seq=.. id=.. code=.. flag=.. first=.. [again=N] time=.. (again=N: the\n"
         "same event record received N times before); with --verbose also\n"
         "packet cmd=0x.. seq=.. len=.. and reply cmd=0x.. (or reply none/close/garbage);\n"
         "down refuse, down pause and up when the server goes down or comes back.\n"
         "Two instances on two ports play a primary and a standby server.\n"
         "Runs until SIGTERM or SIGINT, then exits with 0.\n";
}

}  // namespace kestrel::msgserver
