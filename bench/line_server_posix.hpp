#pragma once
// The bare servers of the Linux benchmarks: a Unix socket at `path` that
// takes one line per connection and answers it with what `answer` makes of
// it, then closes the connection. Returns only when the socket cannot be
// made.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace ombrel::bench {

template <class Answer>
void serve_lines(const std::string& path, Answer answer) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ::unlink(path.c_str());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 16) != 0) {
    return;
  }
  std::string line;
  char buf[8192];
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    line.clear();
    ssize_t n = 0;
    while (line.find('\n') == std::string::npos && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
      line.append(buf, static_cast<std::size_t>(n));
    }
    const std::string reply = answer(line);
    [[maybe_unused]] const ssize_t sent = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(fd);
  }
}

}  // namespace ombrel::bench
