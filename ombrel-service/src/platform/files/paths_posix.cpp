#include <unistd.h>

#include <cstdlib>

#include "platform/files/paths.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

const char PATH_SEPARATOR = '/';

std::string data_dir() {
  const char* dir = std::getenv("OMBREL_DATA_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/var/lib/ombrel";
}

Result<std::string> current_exe_path() {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return fail(last_os_error());
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

std::string parent_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.find_last_of('/');
  if (slash == std::string_view::npos || path == "/") return {};
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return parent.empty() ? std::string("/") : std::string(parent);
}

}  // namespace ombrel::platform
