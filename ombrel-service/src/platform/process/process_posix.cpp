// The handles of a started child: its pipes and the process itself, which
// ends the child when dropped. Children are started in spawn_posix.cpp.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "platform/oserror.hpp"
#include "platform/process/process.hpp"

namespace ombrel::platform {
namespace {

void close_fd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int decode_status(int status, const std::optional<int>& terminated_with) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    if (sig == SIGKILL && terminated_with) return *terminated_with;
    return 128 + sig;
  }
  return -1;
}

// Waits for one child, resuming after signals.
Result<int> wait_pid(pid_t pid, int options, bool& reaped) {
  int status = 0;
  while (true) {
    const pid_t r = ::waitpid(pid, &status, options);
    if (r == pid) {
      reaped = true;
      return status;
    }
    if (r == 0) {
      reaped = false;
      return 0;
    }
    if (errno != EINTR) return fail(last_os_error());
  }
}

// A released child still has to be reaped, or it stays a zombie for as long
// as the service runs.
void reap_in_background(pid_t pid) noexcept {
  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // Without a thread the child is reaped when the service ends.
  }
}

}  // namespace

// ---- pipes ----

void PipeEnd::close() noexcept {
  close_fd(handle_);
}

Result<std::size_t> PipeReader::read(std::span<char> buf) {
  if (!is_open()) return fail(os_error(EBADF));
  while (true) {
    const ssize_t n = ::read(handle_, buf.data(), buf.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(last_os_error());
  }
}

Result<void> PipeWriter::write_all(std::string_view bytes) {
  if (!is_open()) return fail(os_error(EBADF));
  // A reader that has gone away raises SIGPIPE, which would end the whole
  // service. Block it on this thread only, and swallow the one our write
  // raised, so that the failure comes back as EPIPE.
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t old_mask;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  Result<void> result;
  while (!bytes.empty()) {
    const ssize_t n = ::write(handle_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      if (err == EPIPE && !was_pending) {
        const timespec no_wait{};
        while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
      }
      result = fail(os_error(static_cast<unsigned long>(err)));
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return result;
}

// ---- processes ----

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      running_(std::exchange(other.running_, false)),
      exit_code_(other.exit_code_),
      terminated_with_(std::exchange(other.terminated_with_, std::nullopt)),
      core_account_(std::exchange(other.core_account_, std::nullopt)),
      stdin_(std::exchange(other.stdin_, std::nullopt)),
      stdout_(std::exchange(other.stdout_, std::nullopt)),
      stderr_(std::exchange(other.stderr_, std::nullopt)),
      refused_(std::exchange(other.refused_, std::nullopt)),
      own_account_(std::exchange(other.own_account_, false)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    end_and_reap();
    pid_ = std::exchange(other.pid_, 0);
    running_ = std::exchange(other.running_, false);
    exit_code_ = other.exit_code_;
    terminated_with_ = std::exchange(other.terminated_with_, std::nullopt);
    core_account_ = std::exchange(other.core_account_, std::nullopt);
    stdin_ = std::exchange(other.stdin_, std::nullopt);
    stdout_ = std::exchange(other.stdout_, std::nullopt);
    stderr_ = std::exchange(other.stderr_, std::nullopt);
    refused_ = std::exchange(other.refused_, std::nullopt);
    own_account_ = std::exchange(other.own_account_, false);
  }
  return *this;
}

void Process::end_and_reap() noexcept {
  stdin_.reset();
  if (running_) {
    // A child that refuses to end is not waited for: that would hang the owner.
    if (terminate(1)) (void)wait();
  }
  // Whatever the child started in its account goes with it, also when the
  // child itself ended earlier: a process in a session of its own has no
  // parent-death signal and would hold the child's ports.
  if (core_account_) end_account_processes(*std::exchange(core_account_, std::nullopt));
  stdout_.reset();
  stderr_.reset();
  running_ = false;
  pid_ = 0;
}

bool Process::owns_process() const noexcept {
  return pid_ != 0;
}

Result<int> Process::wait() {
  if (pid_ == 0) return fail(os_error(ECHILD));
  if (!running_) return exit_code_;
  bool reaped = false;
  auto status = wait_pid(static_cast<pid_t>(pid_), 0, reaped);
  if (!status) return fail(status.error());
  running_ = false;
  exit_code_ = decode_status(*status, terminated_with_);
  return exit_code_;
}

Result<std::optional<int>> Process::try_wait() {
  if (pid_ == 0) return fail(os_error(ECHILD));
  if (!running_) return std::optional<int>(exit_code_);
  bool reaped = false;
  auto status = wait_pid(static_cast<pid_t>(pid_), WNOHANG, reaped);
  if (!status) return fail(status.error());
  if (!reaped) return std::optional<int>();
  running_ = false;
  exit_code_ = decode_status(*status, terminated_with_);
  return std::optional<int>(exit_code_);
}

Result<void> Process::terminate(int exit_code) {
  if (pid_ == 0) return fail(os_error(ESRCH));
  // Until it is reaped the child's pid cannot be reused, so the signal cannot
  // hit a stranger; once reaped there is nothing left to end.
  if (!running_) return {};
  if (::kill(static_cast<pid_t>(pid_), SIGKILL) != 0) {
    if (errno == ESRCH) return {};
    return fail(last_os_error());
  }
  if (!terminated_with_) terminated_with_ = exit_code;
  return {};
}

std::uint32_t Process::release() noexcept {
  const std::uint32_t pid = pid_;
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
  if (running_) reap_in_background(static_cast<pid_t>(pid_));
  core_account_.reset();
  running_ = false;
  pid_ = 0;
  return pid;
}

// A failed exec or a refused account ends the child before the program
// runs, and the start fails with it: nothing to fall back from.
bool ended_for_want_of_rights(int) noexcept {
  return false;
}

}  // namespace ombrel::platform
