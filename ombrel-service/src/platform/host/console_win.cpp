#include <windows.h>

#include "base/text.hpp"
#include "platform/host/console.hpp"

namespace ombrel::platform {
namespace {

void write_handle(DWORD which, std::string_view utf8) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(h, &mode)) {
    const std::u16string wide = utf8_to_utf16(utf8);
    const auto* p = reinterpret_cast<const wchar_t*>(wide.data());
    std::size_t left = wide.size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(left > 8192 ? 8192 : left);
      if (!WriteConsoleW(h, p, chunk, &written, nullptr) || written == 0) return;
      p += written;
      left -= written;
    }
    return;
  }
  while (!utf8.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(utf8.size() > (1u << 20) ? (1u << 20) : utf8.size());
    if (!WriteFile(h, utf8.data(), chunk, &written, nullptr) || written == 0) return;
    utf8.remove_prefix(written);
  }
}

}  // namespace

void write_stdout(std::string_view utf8) {
  write_handle(STD_OUTPUT_HANDLE, utf8);
}
void write_console_stderr(std::string_view utf8) {
  write_handle(STD_ERROR_HANDLE, utf8);
}

}  // namespace ombrel::platform
