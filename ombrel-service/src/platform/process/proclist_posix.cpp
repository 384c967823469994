#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/oserror.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"

namespace ombrel::platform {
namespace {

Result<std::string> read_link(const std::string& path) {
  std::string buf(256, '\0');
  while (true) {
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return fail(last_os_error());
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

// The kernel marks the image of a process whose file was removed or replaced.
constexpr std::string_view DELETED_MARK = " (deleted)";

std::string file_name_of(std::string path) {
  if (path.ends_with(DELETED_MARK)) path.resize(path.size() - DELETED_MARK.size());
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  if (path.starts_with('/')) parts.emplace_back("/");
  std::size_t i = 0;
  while (i < path.size()) {
    const auto next = path.find('/', i);
    const auto end = next == std::string::npos ? path.size() : next;
    if (end > i) parts.push_back(path.substr(i, end - i));
    i = end + 1;
  }
  return parts;
}

// The short name in `path` (a /proc/PID/comm), without its line feed;
// nullopt when the process is gone. Read with plain calls:
// a file stream would set up the C++ locale machinery, which kept a few
// hundred KiB of the service resident for one listing at start-up.
std::optional<std::string> read_comm(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[256];
  ssize_t n = 0;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  const std::string_view text(buf, static_cast<std::size_t>(n));
  return std::string(text.substr(0, text.find('\n')));
}

}  // namespace

Result<std::vector<ProcessEntry>> list_processes() {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), ::closedir);
  if (!dir) return fail(last_os_error());
  std::vector<ProcessEntry> entries;
  while (const dirent* e = ::readdir(dir.get())) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid == 0) continue;
    const std::string base = std::string("/proc/") + e->d_name;
    ProcessEntry entry;
    entry.pid = static_cast<std::uint32_t>(pid);
    if (auto exe = read_link(base + "/exe")) {
      entry.exe_name = file_name_of(*exe);
    } else {
      // Kernel threads and other users' processes: only the short name is readable.
      auto comm = read_comm(base + "/comm");
      if (!comm) continue;  // gone meanwhile
      entry.exe_name = std::move(*comm);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

Result<std::string> process_image_path(std::uint32_t pid) {
  auto exe = read_link("/proc/" + std::to_string(pid) + "/exe");
  if (!exe) return fail(exe.error());
  return std::move(*exe);
}

std::uint32_t current_process_id() {
  return static_cast<std::uint32_t>(::getpid());
}

Result<void> terminate_process(std::uint32_t pid, int exit_code) {
  (void)exit_code;  // a killed Linux process has no exit code of its own
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return fail(os_error(ESRCH));
  if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0) return fail(last_os_error());
  return {};
}

namespace {

// Through syscall(): the C library's <sys/pidfd.h> of this system declares
// the calls without C linkage, so they cannot be linked from C++.
int open_pidfd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u));
}

int send_signal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u));
}

}  // namespace

struct HeldProcess::Impl {
  int pidfd = -1;
  // The process's folder in /proc, opened while the pidfd shows the process
  // alive: it keeps naming that process, and reads through it fail once the
  // process is gone.
  int proc_dir = -1;
  ~Impl() {
    if (proc_dir >= 0) ::close(proc_dir);
    if (pidfd >= 0) ::close(pidfd);
  }
};

Result<HeldProcess> HeldProcess::open(std::uint32_t pid) {
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return fail(os_error(ESRCH));
  auto impl = std::make_unique<Impl>();
  impl->pidfd = open_pidfd(static_cast<pid_t>(pid));
  if (impl->pidfd < 0) return fail(last_os_error());
  const std::string dir = "/proc/" + std::to_string(pid);
  impl->proc_dir = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (impl->proc_dir < 0) return fail(last_os_error());
  // Still the process of the pidfd: the id cannot have been reused before
  // the folder was opened, since its process has not been reaped.
  if (send_signal(impl->pidfd, 0) != 0) return fail(last_os_error());
  return HeldProcess(std::move(impl));
}

HeldProcess::HeldProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HeldProcess::HeldProcess(HeldProcess&&) noexcept = default;
HeldProcess& HeldProcess::operator=(HeldProcess&&) noexcept = default;
HeldProcess::~HeldProcess() = default;

Result<std::string> HeldProcess::image_path() const {
  std::string buf(256, '\0');
  while (true) {
    const ssize_t n = ::readlinkat(impl_->proc_dir, "exe", buf.data(), buf.size());
    if (n < 0) return fail(last_os_error());
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

Result<bool> HeldProcess::runs_as_this_account() const {
  // The owner of the /proc folder is not enough: a process that made itself
  // not dumpable shows as root's there.
  const int fd = ::openat(impl_->proc_dir, "status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(last_os_error());
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  const int read_error = n < 0 ? errno : 0;
  ::close(fd);
  if (read_error != 0) return fail(os_error(read_error));
  // "Uid:" then the real, effective, saved and file-system ids.
  const auto at = text.find("\nUid:");
  if (at == std::string::npos) return fail(os_error(EINVAL));
  unsigned long real = 0;
  unsigned long effective = 0;
  if (std::sscanf(text.c_str() + at + 5, "%lu %lu", &real, &effective) != 2) {
    return fail(os_error(EINVAL));
  }
  // The account the service's unprivileged core runs as is the service's
  // too: its leftovers are ended as well.
  const auto is_ours = [core = known_core_account()](unsigned long uid) {
    return uid == ::geteuid() || (core && uid == core->uid);
  };
  return real == effective && is_ours(real);
}

Result<void> HeldProcess::terminate(int exit_code) const {
  (void)exit_code;  // a killed Linux process has no exit code of its own
  if (send_signal(impl_->pidfd, SIGKILL) != 0) return fail(last_os_error());
  return {};
}

Result<std::string> canonical_path(const std::string& path) {
  std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), std::free);
  if (!resolved) return fail(last_os_error());
  return std::string(resolved.get());
}

bool same_path(const std::string& a, const std::string& b) {
  return components(a) == components(b);
}

}  // namespace ombrel::platform
