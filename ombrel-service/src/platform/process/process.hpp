#pragma once
// Child processes with redirected standard streams. A `Process` owns its
// child: dropping it ends the child (exit code 1) and reaps it, so nothing
// the service starts outlives its owner by accident. Every child inherits
// exactly its three standard streams and no other handle of the service, so
// that, for example, a tunnel core never holds the proxy core's standard
// input open and the proxy core always sees the end of its configuration.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "base/stream.hpp"

namespace ombrel::platform {

#ifdef _WIN32
using NativeHandle = void*;
inline constexpr NativeHandle NO_NATIVE_HANDLE = nullptr;
#else
using NativeHandle = int;
inline constexpr NativeHandle NO_NATIVE_HANDLE = -1;
#endif

// One end of a pipe to a child, owned: closed when dropped or replaced.
class PipeEnd {
 public:
  PipeEnd() = default;
  // Takes ownership of an open pipe handle.
  explicit PipeEnd(NativeHandle handle) noexcept : handle_(handle) {}
  PipeEnd(PipeEnd&& other) noexcept : handle_(std::exchange(other.handle_, NO_NATIVE_HANDLE)) {}
  PipeEnd& operator=(PipeEnd&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, NO_NATIVE_HANDLE);
    }
    return *this;
  }
  ~PipeEnd() { close(); }

  bool is_open() const noexcept { return handle_ != NO_NATIVE_HANDLE; }
  void close() noexcept;

 protected:
  NativeHandle handle_ = NO_NATIVE_HANDLE;
};

// The parent's reading end of a child's output pipe.
class PipeReader final : public Reader, public PipeEnd {
 public:
  using PipeEnd::PipeEnd;
  // 0 bytes means the writing side is closed everywhere (the child ended or
  // closed the stream).
  Result<std::size_t> read(std::span<char> buf) override;
};

// The parent's writing end of a child's input pipe; its close is how the
// child learns that its input has ended.
class PipeWriter final : public Writer, public PipeEnd {
 public:
  using PipeEnd::PipeEnd;
  // Writes every byte, resuming after partial and interrupted writes. A child
  // that has closed its input yields an error, never a signal that ends the
  // service.
  Result<void> write_all(std::string_view bytes) override;
};

// Where one standard stream of a child goes.
enum class Stdio {
  Inherit,  // the service's own stream (the null device when it has none)
  Null,     // the null device
  Pipe,     // a new pipe whose other end the parent takes from `Process`
};

struct SpawnOptions {
  std::string program;                     // full path of the executable, UTF-8
  std::vector<std::string> args;           // the arguments after the program, UTF-8
  std::optional<std::string> working_dir;  // the service's own when absent
  Stdio std_in = Stdio::Inherit;
  Stdio std_out = Stdio::Inherit;
  Stdio std_err = Stdio::Inherit;
  // The child ends when the service process ends, however it ends (a crash
  // or a hard kill included), not only when its `Process` is dropped. For
  // the cores: a core left running keeps the tunnel and the ports.
  // Windows: the child is created inside a job object that the service
  // holds open and that ends its processes when it closes, which the system
  // does when the service ends. Linux: the child carries a parent-death
  // signal (SIGKILL), armed before it runs the program. The signal follows
  // the thread that made the child, not its process, so the child is made
  // by a thread that lives as long as the service: the caller itself when
  // it has been declared lasting (`make_thread_lasting`), otherwise one
  // thread kept for this. A program with
  // set-user-ID or file capabilities loses that signal at its start.
  // `release` does not undo this.
  bool end_with_service = false;
  // Windows: the child gets no console (DETACHED_PROCESS), for a program
  // whose streams are all given and that is ended by termination, never by
  // a console event. Without it a console program started by a process that
  // has no console (a service) gets one of its own, with a console host
  // process for every start. Linux: no effect.
  bool no_console = false;
  // The child runs without the service's rights, for a program that parses
  // what the network sends and needs none of them (the proxy core: it reads
  // its standard input, writes its output, listens above port 1024 and
  // connects out). Windows: as LocalService, logged on by the service (a
  // service logon, which holds Users, so the system's libraries that are no
  // KnownDLLs load), every privilege but the traversal of folders removed,
  // and a default access list of SYSTEM and that logon alone, so that no
  // other process of LocalService opens it; detached from any console, on
  // a window station of its logon's own; the job and the end with the
  // service are as for any child. When it cannot be started so (the logon
  // or the creation fails) it is started with the service's token after
  // all, and `Process::unprivileged_refused` says why: no user loses the
  // tunnel to the hardening. Linux: when the service runs as root, the
  // account `unprivileged_account` names, with its group and no
  // supplementary groups; a service that is not root has no rights to give
  // up, and the child runs as its user. When that account is the cores'
  // own, dropping the `Process` ends every process of the account with the
  // child, so that nothing it started in a session of its own outlives it.
  bool unprivileged = false;
  // The child gets an environment made for it instead of the service's:
  // whatever the service was given (tokens, proxies, library paths of an
  // administrator's shell) is no business of a program that parses what
  // the network sends. Windows: the account's block from the system
  // (CreateEnvironmentBlock, nothing inherited). Linux: a fixed PATH, HOME
  // (the account's home, else "/") and LANG=C.UTF-8, nothing else; a build
  // with sanitizers adds their options, so that its stand-in cores report as
  // the tests ask.
  bool own_environment = false;
};

// Whether the service starts its proxy core `unprivileged`: both targets.
extern const bool PROXY_CORE_UNPRIVILEGED;

#ifndef _WIN32
inline constexpr std::string_view UNPRIVILEGED_ACCOUNT_VARIABLE = "OMBREL_CORE_USER";
// Without a named account the proxy core gets a user and group id of its
// own from this range, which no account of the system's tables holds and
// no running process uses when it is picked (the range systemd leaves to
// dynamic service users, so that no distribution's static accounts land
// there). The id picked is kept in the data folder, in this file, so that
// the next run finds the processes a crash left behind under it.
inline constexpr std::uint32_t CORE_ID_FIRST = 61184;
inline constexpr std::uint32_t CORE_ID_LAST = 65519;
inline constexpr std::string_view CORE_ID_FILE = "core-id";

struct Account {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  // The account is the cores' alone: every process of it is the proxy core
  // or something the core started, and the service ends them all with the
  // core and at its own start. Never the service's own account or root's.
  bool cores_own = false;
};

// The account an unprivileged child runs as when this process is root: the
// user named by $OMBREL_CORE_USER (its group, and the cores' own unless it
// is root), else the id recorded in the data folder, else a free id picked
// from the range and recorded there ("не удалось записать {path}" when it
// cannot be; "нет свободного идентификатора для ядра" when the range is
// used up). This process's own user when it is not root, never the cores'
// own. A name that names no account fails with "нет учётной записи для
// ядра: {name}", so that a child meant to run without rights never runs as
// root instead.
Result<Account> unprivileged_account();

// The same account as far as it is known without picking one: none while
// no id has been recorded yet, or when this process is not root.
std::optional<Account> known_core_account();

// Ends every process that runs as `account` (SIGKILL, sent by a helper
// that takes the account's user id, so that a process forked meanwhile is
// caught as well) and waits briefly for them to go; nothing when the
// account is not the cores' own.
void end_account_processes(const Account& account) noexcept;
#endif

class Process {
 public:
  Process() = default;  // owns no process
  Process(Process&& other) noexcept;
  // Ends and reaps the process this one owned before taking over `other`'s.
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Terminates (exit code 1) and reaps the process unless it was released.
  ~Process();

  bool owns_process() const noexcept;
  std::uint32_t pid() const noexcept { return pid_; }

  // The parent's ends of the pipes asked for with `Stdio::Pipe`; each can be
  // taken once, after which the process no longer holds it.
  std::optional<PipeWriter> take_stdin();
  std::optional<PipeReader> take_stdout();
  std::optional<PipeReader> take_stderr();

  // Waits for the process to end and gives its exit code. May be called
  // again after the end; the code stays the same.
  Result<int> wait();
  // The exit code if the process has ended, nullopt while it runs; never blocks.
  Result<std::optional<int>> try_wait();
  // Ends the process with `exit_code` without waiting for it. A process that
  // has already ended counts as success. On Linux the process is killed with
  // SIGKILL and `wait` then reports `exit_code`, as on Windows.
  Result<void> terminate(int exit_code);

  // Gives up ownership: the process keeps running, is neither terminated nor
  // waited for by this object, and is reaped in the background when it ends.
  // Pipes not yet taken are closed. Returns the process id.
  std::uint32_t release() noexcept;

  // Windows: why a child meant to run `unprivileged` runs with the
  // service's token instead (the logon or the creation refused); nullopt
  // when it runs as meant. Always nullopt on Linux.
  const std::optional<Error>& unprivileged_refused() const noexcept { return refused_; }
  // Windows: whether the child runs in an account of its own
  // (`unprivileged`, not refused), so that an early end may be the
  // account's doing. Always false on Linux, where nothing falls back.
  bool unprivileged_account_used() const noexcept { return own_account_; }

 private:
  friend Result<Process> spawn(const SpawnOptions& options);
  friend std::vector<Result<Process>> spawn_all(std::span<const SpawnOptions> options);
  friend Result<std::uint32_t> spawn_detached(const std::string& program,
                                              std::span<const std::string> args,
                                              const std::optional<std::string>& working_dir);
  void end_and_reap() noexcept;

  std::uint32_t pid_ = 0;
#ifdef _WIN32
  NativeHandle process_ = NO_NATIVE_HANDLE;
#else
  bool running_ = false;  // a child that has not been reaped yet
  int exit_code_ = 0;     // valid once reaped
  std::optional<int> terminated_with_;
  // The cores' own account the child runs as: ended whole with it.
  std::optional<Account> core_account_;
#endif
  std::optional<PipeWriter> stdin_;
  std::optional<PipeReader> stdout_;
  std::optional<PipeReader> stderr_;
  std::optional<Error> refused_;
  bool own_account_ = false;
};

// Whether `exit_code` says a child ended in its start for want of a right
// or a library its account may not load, before any of its own work:
// Windows' loader and access statuses (STATUS_DLL_NOT_FOUND,
// STATUS_ACCESS_DENIED, STATUS_DLL_INIT_FAILED, ...). Never on Linux.
bool ended_for_want_of_rights(int exit_code) noexcept;

// Starts `options.program` with the service's environment. The error is the
// system's (the caller names the program).
Result<Process> spawn(const SpawnOptions& options);

// Starts each of `options` as `spawn` does, in order, up to the first that
// fails: one answer per entry tried, the failure last. Nothing listed after
// a failure is left running. Linux: unless the caller is a lasting thread,
// the children that end with the service are all made in one visit to the
// thread that makes them, so the caller sleeps and wakes once for all of
// them rather than once per child, each wake a wait for a processor while
// the children it started are loading.
std::vector<Result<Process>> spawn_all(std::span<const SpawnOptions> options);

// Declares that the calling thread lasts as long as the process: the
// children it starts that end with the service are made on it directly,
// sparing it the hand-over to the spawning thread and the wait for a
// processor when it is woken after, while the new children load. Such a
// thread must not end while the process goes on (Linux: its end would end
// those children); see `outlive_children_of_this_thread`. Nothing on Windows.
void make_thread_lasting() noexcept;

// Called where a lasting thread's work is over: returns at once if the
// thread never started a child that ends with the service; otherwise never
// returns, so that such children end only with the process.
void outlive_children_of_this_thread() noexcept;

// Ends this process with `exit_code` at once, without destroying static
// objects or running exit handlers: detached threads (the pipe server, the
// watchdog, an update check in its wait) still use such objects, and
// destroying them under their feet is what a return from `main` would do.
// Windows: the other threads are stopped before any library's detach runs.
// With AddressSanitizer on Linux the leak check still runs first.
[[noreturn]] void end_process(int exit_code) noexcept;

// Starts a program that lives on by itself: no streams (null device), its own
// session or process group, not owned by the service and never terminated by
// it, nor by the end of the service. On Windows, when the service itself runs
// inside a job that lets its children break away, the program is created
// outside it, so that whoever ends that job with the service does not end
// the program too; a job that forbids it keeps the program. Returns its
// process id.
Result<std::uint32_t> spawn_detached(const std::string& program, std::span<const std::string> args,
                                     const std::optional<std::string>& working_dir);

// Whether this system lets a process take a new program in place
// (`replace_program`): Linux. On Windows a running program's file cannot be
// replaced, and the service manager starts the new build instead.
extern const bool PROGRAM_REPLACEABLE;

// Replaces the program of this process with `program`, run with the
// arguments this process was started with (its own name included) and its
// environment, keeping its process id: a supervisor that watches the id
// sees the same process go on. Every other thread ends at once, without
// unwinding; only descriptors without close-on-exec (the three standard
// streams) cross over. Returns only when the program could not be run,
// with the system's error, and then nothing has changed. Windows: always
// that error (see `PROGRAM_REPLACEABLE`).
Result<void> replace_program(const std::string& program);

// The arguments this program was started with, after the program name, in
// UTF-8. On Windows they are read from the UTF-16 command line, not from the
// code-page `argv`, so that any text arrives intact.
std::vector<std::string> program_arguments(int argc, char** argv);

}  // namespace ombrel::platform
