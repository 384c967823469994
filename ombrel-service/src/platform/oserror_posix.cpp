#include <cerrno>
#include <cstring>

#include "platform/oserror.hpp"

namespace ombrel::platform {

Error os_error(unsigned long code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
  return Error(std::string(text) + " (os error " + std::to_string(code) + ")");
}

Error last_os_error() { return os_error(static_cast<unsigned long>(errno)); }

}  // namespace ombrel::platform
