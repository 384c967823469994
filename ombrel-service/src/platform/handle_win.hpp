#pragma once
// Owned kernel handles, and the UTF-16 text the calls take, for the Windows
// side of the platform layer. Only
// `*_win.cpp` files include this header; nothing outside the platform layer
// sees a HANDLE.
#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/text.hpp"

namespace ombrel::platform {

// Owns one kernel handle and closes it when dropped. Both null and
// INVALID_HANDLE_VALUE mean "no handle": the Win32 API uses either,
// depending on the call, and neither may be passed to CloseHandle.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) noexcept : h_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  static bool valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }

  HANDLE get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return valid(h_); }

  // Gives the handle up without closing it.
  HANDLE release() noexcept { return std::exchange(h_, nullptr); }

  void reset(HANDLE h = nullptr) noexcept {
    const HANDLE old = std::exchange(h_, h);
    if (valid(old)) CloseHandle(old);
  }

  // For out-parameters of calls that create a handle: closes the current one first.
  HANDLE* put() noexcept {
    reset();
    return &h_;
  }

 private:
  HANDLE h_ = nullptr;
};

// Owns memory the system allocated with LocalAlloc for the caller (security
// descriptors, SDDL text) and frees it when dropped.
struct LocalFreeDeleter {
  void operator()(void* p) const noexcept { LocalFree(p); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

// UTF-8, as the rest of the service keeps text, to the UTF-16 the wide calls take.
inline std::wstring wide(std::string_view utf8) {
  const std::u16string u16 = utf8_to_utf16(utf8);
  return std::wstring(u16.begin(), u16.end());
}

// And back: the UTF-16 the wide calls give to UTF-8.
inline std::string narrow(std::wstring_view utf16) {
  return utf16_to_utf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size()));
}

}  // namespace ombrel::platform
