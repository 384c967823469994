#pragma once
// What the Windows files, the offered files and paths share. Only `*_win.cpp`
// files of this room include it.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/error.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

// Other handles may read, write, truncate, rename or delete the file while
// we hold it: logs are rotated and truncated by the next core run.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline Result<std::uint64_t> handle_size(HANDLE h) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) return fail(last_os_error());
  return static_cast<std::uint64_t>(size.QuadPart);
}

inline bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}
inline bool is_separator(char c) {
  return c == '\\' || c == '/';
}

// Length of the part of a path above which there is nothing, and which
// cannot be created: "C:", "\\server\share", "\\?\C:".
template <typename Char>
std::size_t root_length(std::basic_string_view<Char> p) {
  if (p.size() >= 2 && is_separator(p[0]) && is_separator(p[1])) {
    std::size_t i = 2;
    for (int parts = 0; parts < 2; ++parts) {
      while (i < p.size() && !is_separator(p[i])) ++i;
      if (parts == 0 && i < p.size()) ++i;
    }
    return i;
  }
  if (p.size() >= 2 && p[1] == Char(':')) return 2;
  return 0;
}

}  // namespace ombrel::platform
