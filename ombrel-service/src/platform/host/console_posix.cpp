#include <unistd.h>

#include <cerrno>

#include "platform/host/console.hpp"

namespace ombrel::platform {
namespace {

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // Nowhere left to report a failing console.
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void write_stdout(std::string_view utf8) {
  write_all(STDOUT_FILENO, utf8);
}
void write_console_stderr(std::string_view utf8) {
  write_all(STDERR_FILENO, utf8);
}

}  // namespace ombrel::platform
