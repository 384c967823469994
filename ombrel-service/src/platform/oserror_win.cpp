#include <windows.h>

#include "base/text.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

Error os_error(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD len = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (len != 0 && buffer != nullptr) {
    text = utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), len));
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
      text.pop_back();
    }
  }
  if (text.empty()) text = "system error";
  return Error(text + " (os error " + std::to_string(code) + ")");
}

Error last_os_error() { return os_error(GetLastError()); }

}  // namespace ombrel::platform
