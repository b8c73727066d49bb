// Stands in for the service manager's notification socket: binds a datagram
// socket at the path given and prints every message it receives as one line,
// "<milliseconds since the epoch> <message>" (new lines inside a message become
// spaces), until it is stopped.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: notify_sink SOCKET-PATH\n");
    return 2;
  }
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("socket");
    return 1;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::strlen(argv[1]) >= sizeof addr.sun_path) {
    std::fprintf(stderr, "socket path too long\n");
    return 1;
  }
  std::strcpy(addr.sun_path, argv[1]);
  ::unlink(argv[1]);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("bind");
    return 1;
  }
  std::printf("listening %s\n", argv[1]);
  std::fflush(stdout);
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0) continue;
    std::string text(buf, static_cast<std::size_t>(n));
    for (char& c : text)
      if (c == '\n') c = ' ';
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    std::printf("%lld %s\n", static_cast<long long>(ms), text.c_str());
    std::fflush(stdout);
  }
}
