#include <windows.h>

#include "base/text.hpp"
#include "platform/files/files_win.hpp"
#include "platform/files/paths.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

const char PATH_SEPARATOR = '\\';

std::string data_dir() {
  return "C:\\ProgramData\\Ombrel";
}

Result<std::string> current_exe_path() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return fail(last_os_error());
    // A full buffer means the path may have been cut short.
    if (n < buf.size() && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      buf.resize(n);
      return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buf.data()), n));
    }
    if (buf.size() >= 32768) return fail(os_error(ERROR_INSUFFICIENT_BUFFER));
    buf.resize(buf.size() * 2);
  }
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && !is_separator(out.back())) out += '\\';
  out += name;
  return out;
}

std::string parent_path(std::string_view path) {
  const std::size_t root = root_length(path);
  while (path.size() > root + 1 && is_separator(path.back())) path.remove_suffix(1);
  std::size_t sep = std::string_view::npos;
  for (std::size_t i = path.size(); i > root; --i) {
    if (is_separator(path[i - 1])) {
      sep = i - 1;
      break;
    }
  }
  // "C:\" and "\\server\share\" have nothing above them; "x.exe" names no folder.
  if (sep == std::string_view::npos || sep + 1 == path.size()) return {};
  std::string_view parent = path.substr(0, sep);
  while (parent.size() > root && is_separator(parent.back())) parent.remove_suffix(1);
  if (parent.size() == root) return std::string(path.substr(0, root + 1));
  return std::string(parent);
}

}  // namespace ombrel::platform
