#pragma once
// An owned file descriptor for the POSIX side of the platform layer, as
// handle_win.hpp is for the Windows side. Only `*_posix.cpp` files include it.
#include <unistd.h>

#include <utility>

#include "base/error.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

// Closes a descriptor when dropped.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes now and reports what close said: on some file systems the last
  // write error only shows here.
  Result<void> close() {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return fail(last_os_error());
    return {};
  }

 private:
  int fd_ = -1;
};

}  // namespace ombrel::platform
