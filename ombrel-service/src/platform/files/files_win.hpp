#pragma once
// What the Windows files and the offered files share. Only `*_win.cpp` files
// of this room include it.
#include <windows.h>

#include <cstdint>

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

}  // namespace ombrel::platform
