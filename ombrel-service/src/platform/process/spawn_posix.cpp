// Starting children: the vfork-and-exec path, the thread that makes the
// children bound to the service, and the replacement of the running program.
// The handles they come back in are in process_posix.cpp.
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fd_posix.hpp"
#include "platform/oserror.hpp"
#include "platform/process/process.hpp"

extern char** environ;

namespace ombrel::platform {
namespace {

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

// What a child does before it becomes the program. The child is made with
// vfork: it runs on the parent's memory, on the stack of the spawning thread
// (suspended until the exec or the end of the child), while the service's
// other threads go on. So everything is prepared by the parent, and between
// vfork and exec the child only makes async-signal-safe system calls that
// allocate nothing and write no memory of the parent's but its own frames and
// the spawning thread's errno. A copy of the service (fork) would cost the
// copying of its page tables for every core started.
struct ChildSetup {
  const char* program = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* working_dir = nullptr;  // the service's own when null
  int std_fds[3] = {-1, -1, -1};      // -1: the service's own stream
  bool new_session = false;
  bool end_with_parent = false;
  pid_t parent = 0;
  bool drop_rights = false;  // become `uid` and `gid`, with no supplementary groups
  uid_t uid = 0;
  gid_t gid = 0;
};

// Tells the parent why the child did not become the program, and ends it.
[[noreturn]] void child_failed(int report) noexcept {
  const int err = errno;
  (void)!::write(report, &err, sizeof err);
  ::_exit(127);
}

[[noreturn]] void become_program(const ChildSetup& setup, int report) noexcept {
  // Signals stay blocked until every handler is back to its default: a
  // handler of the service run here would run on the service's memory. The
  // dispositions are the child's own copy, so the service keeps its own.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) (void)::sigaction(sig, &defaults, nullptr);
  // Before the parent-death signal: a change of user clears it. Raw system
  // calls, not the C library's: those make every thread of the process
  // change with it, walking the service's thread list from this child that
  // shares its memory; the kernel changes the calling thread, the child's
  // only one.
  if (setup.drop_rights && (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
                            ::syscall(SYS_setresgid, setup.gid, setup.gid, setup.gid) != 0 ||
                            ::syscall(SYS_setresuid, setup.uid, setup.uid, setup.uid) != 0)) {
    child_failed(report);
  }
  if (setup.end_with_parent) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) child_failed(report);
    // A parent that died before the signal was armed will never send it;
    // this child has been handed to another process by now.
    if (::getppid() != setup.parent) ::_exit(127);
  }
  if (setup.new_session && ::setsid() < 0) child_failed(report);
  // The parent's ends are all above 2, so each lands on its place and
  // loses close-on-exec there.
  for (int target = 0; target < 3; ++target) {
    if (setup.std_fds[target] >= 0 && ::dup2(setup.std_fds[target], target) < 0) {
      child_failed(report);
    }
  }
  // Only 0, 1 and 2 cross over: whatever else the service holds without
  // close-on-exec (library internals, a descriptor of a concurrent spawn)
  // stays behind. The report pipe moves to 3, closed by a successful exec.
  if (report != 3) {
    if (::dup3(report, 3, O_CLOEXEC) < 0) child_failed(report);
    report = 3;
  }
  ::closefrom(4);
  if (setup.working_dir != nullptr && ::chdir(setup.working_dir) != 0) child_failed(report);
  // The service blocks signals for its own needs (SIGPIPE while writing,
  // SIGTERM for its stop, all of them around the vfork); a program starts
  // with none blocked.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(setup.program, setup.argv, setup.envp);
  child_failed(report);
}

// Starts the child on the calling thread. The result comes back through a
// close-on-exec pipe: closed without a word when the program runs, or the
// errno of the step that failed. The parent resumes once the child has
// exec'd or ended, so the pipe holds the whole answer by then.
Result<pid_t> fork_exec(const ChildSetup& setup) {
  auto report = make_pipe();
  if (!report) return fail(report.error());
  const int report_read = report->first.get();
  const int report_write = report->second.get();

  // With every signal blocked no handler of the service can run in the
  // child before the defaults are back.
  sigset_t all;
  sigfillset(&all);
  sigset_t old_mask;
  pthread_sigmask(SIG_SETMASK, &all, &old_mask);
  const pid_t pid = ::vfork();
  if (pid == 0) become_program(setup, report_write);
  const int fork_errno = errno;
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (pid < 0) return fail(os_error(static_cast<unsigned long>(fork_errno)));

  report->second.reset();
  int err = 0;
  ssize_t n = 0;
  do {
    n = ::read(report_read, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return pid;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return fail(os_error(static_cast<unsigned long>(n == sizeof err ? err : EIO)));
}

// The thread that starts every child that ends with the service. The
// parent-death signal is sent when the thread that made the child ends,
// not when its process does; the requests come from threads of any life
// span (a pipe connection, a test), so they are handed to this one thread,
// which is made on first use and lives as long as the process.
class BoundSpawner {
 public:
  // Null while the system refuses the thread.
  static BoundSpawner* instance() {
    static std::mutex mutex;
    static BoundSpawner* one = nullptr;
    const std::lock_guard lock(mutex);
    if (one == nullptr) one = start();
    return one;
  }

  // Starts the children in order up to the first that fails, one answer
  // each, in one visit: the caller
  // sleeps and wakes once however many there are, and every wake-up costs
  // it a wait for a processor while the children it started are loading.
  std::vector<Result<pid_t>> run(std::span<const ChildSetup* const> setups) {
    Request request{setups};
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back(&request);
    }
    queued_.notify_one();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return request.done; });
    return std::move(request.results);
  }

 private:
  struct Request {
    std::span<const ChildSetup* const> setups;
    std::vector<Result<pid_t>> results{};
    bool done = false;
  };

  static BoundSpawner* start() {
    auto* spawner = new BoundSpawner;
    // The thread never takes a signal meant for the process (the stop
    // signals are waited for elsewhere); it inherits this mask.
    sigset_t all;
    sigfillset(&all);
    sigset_t old_mask;
    pthread_sigmask(SIG_SETMASK, &all, &old_mask);
    try {
      std::thread([spawner] { spawner->serve(); }).detach();
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
      delete spawner;
      return nullptr;
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    // Never deleted: the thread serves until the process ends.
    return spawner;
  }

  [[noreturn]] void serve() {
    while (true) {
      Request* request = nullptr;
      {
        std::unique_lock lock(mutex_);
        queued_.wait(lock, [&] { return !queue_.empty(); });
        request = queue_.front();
        queue_.pop_front();
      }
      // Until `done` the request is this thread's alone.
      request->results.reserve(request->setups.size());
      for (const ChildSetup* setup : request->setups) {
        request->results.push_back(fork_exec(*setup));
        if (!request->results.back()) break;
      }
      {
        const std::lock_guard lock(mutex_);
        request->done = true;
      }
      // Woken outside the lock, the caller does not wake only to wait for
      // it; the request may be gone by then, the condition never is.
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable done_;
  std::deque<Request*> queue_;
};

// Set on threads that last as long as the process: they make the children
// bound to the service themselves.
thread_local bool lasting_thread = false;
thread_local bool made_bound_children = false;

// A child's setup and the argument list it points into.
struct PreparedChild {
  std::vector<char*> argv;
  std::vector<std::string> env;  // the environment made for it, if any
  std::vector<char*> envp;
  ChildSetup setup;
};

// The variables a child given its own environment gets from the service's:
// only the options of the sanitizers a test build runs with, so that its
// stand-in cores report as the tests ask.
constexpr std::string_view PASSED_VARIABLES[] = {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    "ASAN_OPTIONS",
    "LSAN_OPTIONS",
    "UBSAN_OPTIONS",
    "TSAN_OPTIONS",
#endif
    "",
};

// The home folder of `uid`, "/" for an id without an account.
std::string home_of(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
      entry.pw_dir == nullptr || *entry.pw_dir == '\0') {
    return "/";
  }
  return entry.pw_dir;
}

// Replaces the service's environment in `child` by one made for it. Called
// once the account it runs as is settled.
void give_own_environment(PreparedChild& child) {
  const uid_t uid = child.setup.drop_rights ? child.setup.uid : ::geteuid();
  child.env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
               "HOME=" + home_of(uid), "LANG=C.UTF-8"};
  for (const std::string_view name : PASSED_VARIABLES) {
    if (name.empty()) continue;
    if (const char* value = std::getenv(std::string(name).c_str())) {
      child.env.push_back(std::string(name) + "=" + value);
    }
  }
  child.envp.clear();
  for (std::string& entry : child.env) child.envp.push_back(entry.data());
  child.envp.push_back(nullptr);
  child.setup.envp = child.envp.data();
}

void prepare_child(PreparedChild& child, const std::string& program,
                   std::span<const std::string> args, const std::optional<std::string>& working_dir,
                   const int std_fds[3], bool new_session, bool end_with_service) {
  child.argv.reserve(args.size() + 2);
  child.argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) child.argv.push_back(const_cast<char*>(a.c_str()));
  child.argv.push_back(nullptr);

  ChildSetup& setup = child.setup;
  setup.program = program.c_str();
  setup.argv = child.argv.data();
  setup.envp = environ;
  setup.working_dir = working_dir ? working_dir->c_str() : nullptr;
  for (int i = 0; i < 3; ++i) setup.std_fds[i] = std_fds[i];
  setup.new_session = new_session;
  setup.end_with_parent = end_with_service;
  setup.parent = ::getpid();
}

// The null device on a descriptor above 2, close-on-exec.
Result<Fd> open_null(int flags) {
  Fd fd(::open("/dev/null", flags | O_CLOEXEC));
  if (fd.get() < 0) return fail(last_os_error());
  if (fd.get() > 2) return fd;
  Fd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
  if (moved.get() < 0) return fail(last_os_error());
  return moved;
}

}  // namespace

std::vector<Result<Process>> spawn_all(std::span<const SpawnOptions> options) {
  struct Pending {
    Process process;
    Fd child_ends[3];
    PreparedChild child;
    Result<pid_t> pid{};
  };
  std::vector<Pending> pending(options.size());
  for (std::size_t i = 0; i < options.size(); ++i) {
    const SpawnOptions& o = options[i];
    Pending& p = pending[i];
    const Stdio kinds[3] = {o.std_in, o.std_out, o.std_err};
    for (int target = 0; target < 3 && p.pid; ++target) {
      switch (kinds[target]) {
        case Stdio::Inherit:
          break;
        case Stdio::Null: {
          auto null = open_null(target == 0 ? O_RDONLY : O_WRONLY);
          if (!null) {
            p.pid = fail(null.error());
            break;
          }
          p.child_ends[target] = std::move(*null);
          break;
        }
        case Stdio::Pipe: {
          auto pipe = make_pipe();
          if (!pipe) {
            p.pid = fail(pipe.error());
            break;
          }
          auto& [read_end, write_end] = *pipe;
          if (target == 0) {
            p.child_ends[0] = std::move(read_end);
            p.process.stdin_.emplace(write_end.release());
          } else {
            p.child_ends[target] = std::move(write_end);
            (target == 1 ? p.process.stdout_ : p.process.stderr_).emplace(read_end.release());
          }
          break;
        }
      }
    }
    const int fds[3] = {p.child_ends[0].get(), p.child_ends[1].get(), p.child_ends[2].get()};
    prepare_child(p.child, o.program, o.args, o.working_dir, fds, false, o.end_with_service);
    // Only root has rights to give up; any other user runs it as itself.
    if (o.unprivileged && p.pid && ::geteuid() == 0) {
      // Looked up here: the child may not allocate or read files.
      auto account = unprivileged_account();
      if (!account) {
        p.pid = fail(std::move(account.error()));
      } else {
        p.child.setup.drop_rights = true;
        p.child.setup.uid = account->uid;
        p.child.setup.gid = account->gid;
        if (account->cores_own) p.process.core_account_ = *account;
      }
    }
    if (o.own_environment && p.pid) give_own_environment(p.child);
  }

  // Only the entries before the first that could not be prepared start.
  std::size_t count = 0;
  while (count < options.size() && pending[count].pid) ++count;
  const std::size_t attempted = count < options.size() ? count + 1 : count;

  // The children bound to the service go to the thread that outlives every
  // caller, all in one visit, unless the caller is such a thread itself;
  // without that thread they are bound to the caller's, as are the rest (the
  // service starts its cores on threads that live as long as it does).
  std::vector<const ChildSetup*> bound;
  for (std::size_t i = 0; i < count; ++i) {
    if (options[i].end_with_service) bound.push_back(&pending[i].child.setup);
  }
  if (!bound.empty() && lasting_thread) {
    made_bound_children = true;
    bound.clear();
  }
  BoundSpawner* spawner = bound.empty() ? nullptr : BoundSpawner::instance();
  std::vector<Result<pid_t>> bound_pids;
  if (spawner != nullptr) bound_pids = spawner->run(bound);
  std::size_t next_bound = 0;
  bool failed = false;
  std::vector<Result<Process>> results;
  results.reserve(attempted);
  for (std::size_t i = 0; i < attempted; ++i) {
    Pending& p = pending[i];
    Result<pid_t> pid = 0;
    if (i == count) {
      pid = std::move(p.pid);  // could not be prepared
    } else if (spawner != nullptr && options[i].end_with_service) {
      if (next_bound == bound_pids.size()) break;  // the thread stopped at a failure
      pid = std::move(bound_pids[next_bound++]);
    } else if (!failed) {
      pid = fork_exec(p.child.setup);
    } else {
      continue;  // never started
    }
    if (pid) {
      p.process.pid_ = static_cast<std::uint32_t>(*pid);
      p.process.running_ = true;
    }
    // A child started after one that failed ends when `pending` is dropped.
    if (failed) continue;
    if (!pid) {
      results.push_back(fail(std::move(pid.error())));
      failed = true;
      continue;
    }
    results.push_back(std::move(p.process));
  }
  // The child's ends close with `pending`, so the parent keeps only its own.
  return results;
}

void make_thread_lasting() noexcept {
  lasting_thread = true;
}

void outlive_children_of_this_thread() noexcept {
  if (!made_bound_children) return;
  // Asleep until the process ends; a signal meant for the process is not
  // this thread's to take.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, nullptr);
  while (true) ::pause();
}

Result<Process> spawn(const SpawnOptions& options) {
  return std::move(spawn_all(std::span<const SpawnOptions>(&options, 1)).front());
}

Result<std::uint32_t> spawn_detached(const std::string& program, std::span<const std::string> args,
                                     const std::optional<std::string>& working_dir) {
  auto in = open_null(O_RDONLY);
  if (!in) return fail(in.error());
  auto out = open_null(O_WRONLY);
  if (!out) return fail(out.error());
  const int fds[3] = {in->get(), out->get(), out->get()};
  PreparedChild child;
  prepare_child(child, program, args, working_dir, fds, true, false);
  auto pid = fork_exec(child.setup);
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

extern const bool PROGRAM_REPLACEABLE = true;
extern const bool PROXY_CORE_UNPRIVILEGED = true;

Result<void> replace_program(const std::string& program) {
  // The arguments as the kernel keeps them, NUL after each, rather than a
  // copy made at start that every caller would have to carry here.
  std::string raw;
  {
    Fd fd(::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return fail(last_os_error());
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(last_os_error());
      if (n == 0) break;
      raw.append(buf, static_cast<std::size_t>(n));
    }
  }
  if (raw.empty() || raw.back() != '\0') raw.push_back('\0');
  std::vector<char*> argv;
  for (std::size_t at = 0; at < raw.size(); at = raw.find('\0', at) + 1) {
    argv.push_back(raw.data() + at);
  }
  argv.push_back(nullptr);
  ::execve(program.c_str(), argv.data(), environ);
  return fail(last_os_error());
}

void end_process(int exit_code) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();
#endif
  ::_exit(exit_code);
}

}  // namespace ombrel::platform
