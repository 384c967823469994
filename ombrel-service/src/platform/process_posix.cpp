#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "platform/oserror.hpp"
#include "platform/process.hpp"

extern char** environ;

namespace ombrel::platform {
namespace {

// An fd closed when dropped, for the spawn bookkeeping.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

void close_fd(int& fd) noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A new close-on-exec pipe whose ends are both above the standard streams, so
// that moving the child's end onto 0, 1 or 2 can never collide with itself.
Result<std::pair<Fd, Fd>> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(last_os_error());
  Fd ends[2] = {Fd(fds[0]), Fd(fds[1])};
  for (Fd& end : ends) {
    if (end.get() > 2) continue;
    const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return fail(last_os_error());
    end = Fd(moved);
  }
  return std::pair<Fd, Fd>(std::move(ends[0]), std::move(ends[1]));
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

struct SpawnAttrs {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnAttrs() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnAttrs() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnAttrs(const SpawnAttrs&) = delete;
  SpawnAttrs& operator=(const SpawnAttrs&) = delete;
};

Result<pid_t> spawn_raw(const std::string& program, std::span<const std::string> args,
                        const std::optional<std::string>& working_dir, SpawnAttrs& sa,
                        bool new_session) {
  // Whatever descriptor the rest of the service opened without close-on-exec
  // (streams, library internals) stays behind: only 0, 1 and 2 cross over.
  int rc = posix_spawn_file_actions_addclosefrom_np(&sa.actions, 3);
  if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
  if (working_dir) {
    rc = posix_spawn_file_actions_addchdir_np(&sa.actions, working_dir->c_str());
    if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
  }
  // The service may block or ignore signals in its own threads (SIGPIPE while
  // writing, SIGTERM for its stop handling); a core must start with the defaults.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (new_session) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&sa.attr, flags);
  posix_spawnattr_setsigmask(&sa.attr, &none);
  posix_spawnattr_setsigdefault(&sa.attr, &all);

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  rc = ::posix_spawn(&pid, program.c_str(), &sa.actions, &sa.attr, argv.data(), environ);
  if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
  return pid;
}

}  // namespace

// ---- pipes ----

PipeReader::PipeReader(PipeReader&& other) noexcept
    : handle_(std::exchange(other.handle_, NO_NATIVE_HANDLE)) {}

PipeReader& PipeReader::operator=(PipeReader&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, NO_NATIVE_HANDLE);
  }
  return *this;
}

void PipeReader::close() noexcept {
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

PipeWriter::PipeWriter(PipeWriter&& other) noexcept
    : handle_(std::exchange(other.handle_, NO_NATIVE_HANDLE)) {}

PipeWriter& PipeWriter::operator=(PipeWriter&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, NO_NATIVE_HANDLE);
  }
  return *this;
}

void PipeWriter::close() noexcept {
  close_fd(handle_);
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
      stdin_(std::exchange(other.stdin_, std::nullopt)),
      stdout_(std::exchange(other.stdout_, std::nullopt)),
      stderr_(std::exchange(other.stderr_, std::nullopt)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    end_and_reap();
    pid_ = std::exchange(other.pid_, 0);
    running_ = std::exchange(other.running_, false);
    exit_code_ = other.exit_code_;
    terminated_with_ = std::exchange(other.terminated_with_, std::nullopt);
    stdin_ = std::exchange(other.stdin_, std::nullopt);
    stdout_ = std::exchange(other.stdout_, std::nullopt);
    stderr_ = std::exchange(other.stderr_, std::nullopt);
  }
  return *this;
}

Process::~Process() {
  end_and_reap();
}

void Process::end_and_reap() noexcept {
  stdin_.reset();
  if (running_) {
    // A child that refuses to end is not waited for: that would hang the owner.
    if (terminate(1)) (void)wait();
  }
  stdout_.reset();
  stderr_.reset();
  running_ = false;
  pid_ = 0;
}

bool Process::owns_process() const noexcept {
  return pid_ != 0;
}

std::optional<PipeWriter> Process::take_stdin() {
  return std::exchange(stdin_, std::nullopt);
}
std::optional<PipeReader> Process::take_stdout() {
  return std::exchange(stdout_, std::nullopt);
}
std::optional<PipeReader> Process::take_stderr() {
  return std::exchange(stderr_, std::nullopt);
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
  running_ = false;
  pid_ = 0;
  return pid;
}

Result<Process> spawn(const SpawnOptions& options) {
  SpawnAttrs sa;
  Process process;
  Fd child_ends[3];
  const Stdio kinds[3] = {options.std_in, options.std_out, options.std_err};
  for (int target = 0; target < 3; ++target) {
    switch (kinds[target]) {
      case Stdio::Inherit:
        break;
      case Stdio::Null: {
        const int rc = posix_spawn_file_actions_addopen(&sa.actions, target, "/dev/null",
                                                        target == 0 ? O_RDONLY : O_WRONLY, 0);
        if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
        break;
      }
      case Stdio::Pipe: {
        auto pipe = make_pipe();
        if (!pipe) return fail(pipe.error());
        auto& [read_end, write_end] = *pipe;
        if (target == 0) {
          child_ends[0] = std::move(read_end);
          process.stdin_.emplace(write_end.release());
        } else {
          child_ends[target] = std::move(write_end);
          (target == 1 ? process.stdout_ : process.stderr_).emplace(read_end.release());
        }
        const int rc =
            posix_spawn_file_actions_adddup2(&sa.actions, child_ends[target].get(), target);
        if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
        break;
      }
    }
  }
  auto pid = spawn_raw(options.program, options.args, options.working_dir, sa, false);
  if (!pid) return fail(pid.error());
  process.pid_ = static_cast<std::uint32_t>(*pid);
  process.running_ = true;
  // The child's ends close here, so the parent holds only its own ends.
  return process;
}

Result<std::uint32_t> spawn_detached(const std::string& program, std::span<const std::string> args,
                                     const std::optional<std::string>& working_dir) {
  SpawnAttrs sa;
  for (int target = 0; target < 3; ++target) {
    const int rc = posix_spawn_file_actions_addopen(&sa.actions, target, "/dev/null",
                                                    target == 0 ? O_RDONLY : O_WRONLY, 0);
    if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
  }
  auto pid = spawn_raw(program, args, working_dir, sa, true);
  if (!pid) return fail(pid.error());
  Process process;
  process.pid_ = static_cast<std::uint32_t>(*pid);
  process.running_ = true;
  return process.release();
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

}  // namespace ombrel::platform
