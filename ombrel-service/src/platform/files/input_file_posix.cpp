// Opening the files a client offers, read only. The service's own files are
// in files_posix.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/fd_posix.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

namespace {

// Opens for reading the ordinary file an O_PATH descriptor names.
Result<InputFile> open_located(const Fd& located) {
  struct stat st {};
  if (::fstat(located.get(), &st) != 0) return fail(last_os_error());
  if (S_ISDIR(st.st_mode)) return fail(os_error(EISDIR));
  if (!S_ISREG(st.st_mode)) return fail(os_error(EINVAL));
  const std::string self = "/proc/self/fd/" + std::to_string(located.get());
  const int fd = ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return fail(last_os_error());
  return InputFile::adopt(fd);
}

}  // namespace

Result<InputFile> InputFile::open(const std::string& path) {
  // An O_PATH descriptor names the file without opening it for reading: no
  // driver's open runs (a watchdog device would arm itself), no FIFO blocks.
  // Only once the kind is known is the very same file opened for reading,
  // through the descriptor, so a link swapped in meanwhile changes nothing.
  Fd located(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (located.get() < 0) return fail(last_os_error());
  return open_located(located);
}

Result<InputFile> InputFile::open_local(const std::string& path) {
  // Component by component from the folder already held, none followed if
  // it is a link: what was judged is what the next step goes through.
  Fd at(::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (at.get() < 0) return fail(last_os_error());
  std::size_t from = 0;
  while (from < path.size()) {
    std::size_t end = path.find('/', from);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(from, end - from);
    from = end + 1;
    if (part.empty() || part == ".") continue;
    Fd next(::openat(at.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) return fail(last_os_error());
    struct stat st {};
    if (::fstat(next.get(), &st) != 0) return fail(last_os_error());
    if (S_ISLNK(st.st_mode)) return fail(std::string(NOT_LOCAL));
    at = std::move(next);
  }
  return open_located(at);
}

InputFile::InputFile(InputFile&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

InputFile::~InputFile() {
  close();
}

bool InputFile::is_open() const {
  return fd_ >= 0;
}

Result<std::uint64_t> InputFile::size() const {
  struct stat st {};
  if (fd_ < 0) return fail(os_error(EBADF));
  if (::fstat(fd_, &st) != 0) return fail(last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

Result<std::size_t> InputFile::read(std::span<char> buf) {
  if (fd_ < 0) return fail(os_error(EBADF));
  for (;;) {
    const BoundedCall bounded;
    const ssize_t n = ::read(fd_, buf.data(), buf.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(last_os_error());
  }
}

void InputFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool is_local_file_path(const std::string& path) {
  (void)path;
  return true;
}

}  // namespace ombrel::platform
