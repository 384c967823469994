#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/fd_posix.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

namespace {

Result<void> write_fd(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> fsync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return fail(last_os_error());
  }
  return {};
}

std::string parent_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Opens a file for writing without following a symbolic link that stands
// at its name (ELOOP), and refuses anything but an ordinary file with this
// one name (EMLINK for a hard-linked one): a write meant for the service's
// own folder thus never lands outside it. Only then is the file emptied,
// when `truncate` asks for it. A new file is the service's alone (the logs
// name destinations, the tunnel document what a user bypasses); a program
// is made executable, and readable, on purpose.
Result<int> open_for_writing(const std::string& path, int flags, bool truncate) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0600));
  if (fd.get() < 0) return fail(last_os_error());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(last_os_error());
  if (!S_ISREG(st.st_mode)) return fail(os_error(EINVAL));
  if (st.st_nlink > 1) return fail(os_error(EMLINK));
  if (truncate && ::ftruncate(fd.get(), 0) != 0) return fail(last_os_error());
  return fd.release();
}

Result<void> write_new_file(const std::string& path, std::string_view bytes) {
  auto opened = open_for_writing(path, 0, true);
  if (!opened) return fail(opened.error());
  Fd fd(*opened);
  OMBREL_TRY(write_fd(fd.get(), bytes));
  OMBREL_TRY(fsync_fd(fd.get()));
  return fd.close();
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return fail(last_os_error());
  std::string out;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && st.st_size > 0)
    out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

Result<void> rewrite_file(const std::string& path, std::string_view bytes) {
  auto opened = open_for_writing(path, 0, false);
  if (!opened) return fail(opened.error());
  Fd fd(*opened);
  OMBREL_TRY(write_fd(fd.get(), bytes));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(last_os_error());
  if (static_cast<std::uint64_t>(st.st_size) > bytes.size() &&
      ::ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0) {
    return fail(last_os_error());
  }
  return fd.close();
}

Result<void> replace_file_atomically(const std::string& path, const std::string& temp_path,
                                     std::string_view bytes) {
  if (auto written = write_new_file(temp_path, bytes); !written) {
    ::unlink(temp_path.c_str());
    return written;
  }
  if (::rename(temp_path.c_str(), path.c_str()) != 0) return fail(last_os_error());
  // The rename itself lives in the folder; without this a power loss could
  // bring back the old name. Some file systems cannot sync folders, and the
  // new content is in place either way, so a failure here is not reported.
  Fd dir(::open(parent_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) (void)fsync_fd(dir.get());
  return {};
}

Result<void> append_file(const std::string& path, std::string_view bytes) {
  auto opened = open_for_writing(path, O_APPEND, false);
  if (!opened) return fail(opened.error());
  Fd fd(*opened);
  OMBREL_TRY(write_fd(fd.get(), bytes));
  return fd.close();
}

Result<std::uint64_t> file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool is_folder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<std::vector<std::string>> folder_entries(const std::string& path) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) return fail(last_os_error());
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

Result<void> remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return fail(last_os_error());
  return {};
}

Result<void> rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(last_os_error());
  return {};
}

Result<void> link_file(const std::string& existing, const std::string& link) {
  if (::link(existing.c_str(), link.c_str()) != 0) return fail(last_os_error());
  return {};
}

Result<void> keep_second_name(const std::string& path, const std::string& backup) {
  return link_file(path, backup);
}

Result<void> create_directories(const std::string& path) {
  if (path.empty()) return fail("empty path");
  // Each prefix ending before a slash, then the whole path.
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    if (path[i - 1] == '/') continue;
    const std::string prefix = path.substr(0, i);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return fail(last_os_error());
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(last_os_error());
  if (!S_ISDIR(st.st_mode)) return fail(os_error(ENOTDIR));
  return {};
}

Result<File> File::create(const std::string& path) {
  auto fd = open_for_writing(path, O_APPEND, true);
  if (!fd) return fail(fd.error());
  return File(*fd);
}

Result<File> File::open_append(const std::string& path) {
  auto fd = open_for_writing(path, O_APPEND, false);
  if (!fd) return fail(fd.error());
  return File(*fd);
}

File::File(File&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  close();
}

bool File::is_open() const {
  return fd_ >= 0;
}

Result<std::uint64_t> File::size() const {
  struct stat st {};
  if (fd_ < 0) return fail(os_error(EBADF));
  if (::fstat(fd_, &st) != 0) return fail(last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void> File::write_all(std::string_view bytes) {
  if (fd_ < 0) return fail(os_error(EBADF));
  return write_fd(fd_, bytes);
}

Result<void> File::sync() {
  if (fd_ < 0) return fail(os_error(EBADF));
  const BoundedCall bounded;
  return fsync_fd(fd_);
}

void File::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<std::int64_t> last_write_ms(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(last_os_error());
  // tv_nsec is always 0..999999999, so this rounds down for times before 1970 too.
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

Result<void> set_last_write_ms(const std::string& path, std::int64_t ms) {
  std::int64_t seconds = ms / 1000;
  std::int64_t rest = ms % 1000;
  if (rest < 0) {
    rest += 1000;
    seconds -= 1;
  }
  struct timespec times[2]{};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(rest * 1000000);
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return fail(last_os_error());
  return {};
}

Result<File> File::create_private(const std::string& path) {
  const BoundedCall bounded;
  Fd fd(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return fail(last_os_error());
  return File(fd.release());
}

Result<void> take_folder_access(const std::string& path) {
  return make_executable(path);
}

Result<void> make_executable(const std::string& path) {
  if (::chmod(path.c_str(), 0755) != 0) return fail(last_os_error());
  return {};
}

}  // namespace ombrel::platform
