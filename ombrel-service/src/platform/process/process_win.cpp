#include <windows.h>

#include <memory>
#include <utility>

#include "base/text.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/process/cmdline.hpp"
#include "platform/process/job_win.hpp"
#include "platform/process/process.hpp"
#include "platform/token_win.hpp"

namespace ombrel::platform {
namespace {

void close_handle(HANDLE& h) noexcept {
  if (UniqueHandle::valid(h)) CloseHandle(h);
  h = nullptr;
}

constexpr DWORD PIPE_BUFFER = 64 * 1024;

// The null device, opened for both directions.
Result<UniqueHandle> open_null() {
  UniqueHandle h(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr));
  if (!h) return fail(last_os_error());
  return h;
}

// A private copy of one of the service's own standard handles; the null
// device when the service has none (as under the service control manager).
Result<UniqueHandle> own_std_handle(DWORD which) {
  const HANDLE h = GetStdHandle(which);
  if (UniqueHandle::valid(h)) {
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      return UniqueHandle(copy);
    }
  }
  return open_null();
}

class AttributeList {
 public:
  AttributeList() = default;
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() {
    if (initialised_) DeleteProcThreadAttributeList(get());
  }

  Result<void> init(DWORD count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    storage_ = std::make_unique<char[]>(size);
    if (!InitializeProcThreadAttributeList(get(), count, 0, &size)) return fail(last_os_error());
    initialised_ = true;
    return {};
  }

  // `value` must stay valid until the process has been created.
  bool add(DWORD_PTR attribute, void* value, SIZE_T size) {
    return UpdateProcThreadAttribute(get(), 0, attribute, value, size, nullptr, nullptr) != FALSE;
  }

  LPPROC_THREAD_ATTRIBUTE_LIST get() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
  }

 private:
  std::unique_ptr<char[]> storage_;
  bool initialised_ = false;
};

struct Created {
  UniqueHandle process;
  DWORD pid = 0;
};

// Ends a child that was created but must not run.
void discard(const PROCESS_INFORMATION& pi) noexcept {
  TerminateProcess(pi.hProcess, 1);
  WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

// Makes sure the new, still suspended child is in `job`, then lets it run.
// The job list of the creation puts it there at once where the system knows
// that list (Windows 10 and later, Wine); otherwise it is assigned here,
// before it has run a single instruction.
Result<void> bind_and_resume(const PROCESS_INFORMATION& pi, HANDLE job) {
  BOOL in_job = FALSE;
  if (!IsProcessInJob(pi.hProcess, job, &in_job)) return fail(last_os_error());
  if (!in_job && !AssignProcessToJobObject(job, pi.hProcess)) return fail(last_os_error());
  if (ResumeThread(pi.hThread) == static_cast<DWORD>(-1)) return fail(last_os_error());
  return {};
}

// A well-known SID in a buffer of its own.
Result<std::vector<BYTE>> well_known_sid(WELL_KNOWN_SID_TYPE kind) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(kind, nullptr, sid.data(), &size)) return fail(last_os_error());
  sid.resize(size);
  return sid;
}

// This process's token without its rights: every privilege removed (but
// the traversal of folders, which DISABLE_MAX_PRIVILEGE keeps), its own
// account, LocalSystem and Administrators for deny only, so that what the
// service may open a child of it may not, and medium integrity, so that it
// writes nothing of a higher level. The child still listens, connects out
// and uses what it was handed.
Result<UniqueHandle> unprivileged_token() {
  UniqueHandle own;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                        own.put())) {
    return fail(last_os_error());
  }
  auto user = token_information(own.get(), TokenUser);
  if (!user) return fail(std::move(user.error()));
  auto system = well_known_sid(WinLocalSystemSid);
  if (!system) return fail(std::move(system.error()));
  auto admins = well_known_sid(WinBuiltinAdministratorsSid);
  if (!admins) return fail(std::move(admins.error()));
  auto medium = well_known_sid(WinMediumLabelSid);
  if (!medium) return fail(std::move(medium.error()));
  const PSID user_sid = reinterpret_cast<TOKEN_USER*>(user->data())->User.Sid;
  std::vector<SID_AND_ATTRIBUTES> disabled = {{user_sid, 0}, {admins->data(), 0}};
  if (!EqualSid(user_sid, system->data())) disabled.push_back({system->data(), 0});
  UniqueHandle restricted;
  if (!CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, static_cast<DWORD>(disabled.size()),
                             disabled.data(), 0, nullptr, 0, nullptr, restricted.put())) {
    return fail(last_os_error());
  }
  TOKEN_MANDATORY_LABEL label{};
  label.Label.Sid = medium->data();
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  if (!SetTokenInformation(restricted.get(), TokenIntegrityLevel, &label,
                           static_cast<DWORD>(sizeof label + medium->size()))) {
    return fail(last_os_error());
  }
  return restricted;
}

// CreateProcessW with the given standard handles (all three or none) as the
// only inherited handles, inside `job` when one is given; CreateProcessAsUserW
// when a `token` is given.
Result<Created> create_process(const std::string& program, std::span<const std::string> args,
                               const std::optional<std::string>& working_dir, HANDLE std_handles[3],
                               DWORD flags, HANDLE job = nullptr, HANDLE token = nullptr) {
  const std::wstring application = wide(program);
  std::wstring command_line = wide(windows_command_line(program, args));
  const std::wstring directory = working_dir ? wide(*working_dir) : std::wstring();

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  AttributeList attributes;
  BOOL inherit = FALSE;
  HANDLE list[3];
  HANDLE jobs[1] = {job};
  if (std_handles != nullptr || job != nullptr) {
    OMBREL_TRY(attributes.init((std_handles != nullptr ? 1 : 0) + (job != nullptr ? 1 : 0)));
    si.lpAttributeList = attributes.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  if (std_handles != nullptr) {
    // Only these three become inheritable, and only until the child exists;
    // the list makes sure that no other inheritable handle a concurrent
    // caller may hold crosses over either.
    for (int i = 0; i < 3; ++i) {
      if (!SetHandleInformation(std_handles[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return fail(last_os_error());
      }
      list[i] = std_handles[i];
    }
    if (!attributes.add(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, list, sizeof list)) {
      return fail(last_os_error());
    }
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = std_handles[0];
    si.StartupInfo.hStdOutput = std_handles[1];
    si.StartupInfo.hStdError = std_handles[2];
    inherit = TRUE;
  }
  if (job != nullptr) {
    // Refused by systems older than the job list: the assignment after
    // creation does the same.
    (void)attributes.add(PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs, sizeof jobs);
    flags |= CREATE_SUSPENDED;
  }
  PROCESS_INFORMATION pi{};
  const auto create = [&](DWORD with_flags) {
    const wchar_t* folder = working_dir ? directory.c_str() : nullptr;
    if (token != nullptr) {
      return CreateProcessAsUserW(token, application.c_str(), command_line.data(), nullptr, nullptr,
                                  inherit, with_flags, nullptr, folder, &si.StartupInfo, &pi);
    }
    return CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, inherit,
                          with_flags, nullptr, folder, &si.StartupInfo, &pi);
  };
  BOOL ok = create(flags);
  if (!ok && (flags & CREATE_BREAKAWAY_FROM_JOB) != 0 && GetLastError() == ERROR_ACCESS_DENIED) {
    // A job further out forbids leaving it: the program stays in it.
    flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
    ok = create(flags);
  }
  if (!ok && GetLastError() == ERROR_INTERNAL_ERROR) {
    // The new process died while the system was still setting it up (seen
    // about once in a thousand starts under Wine): none of the program ran
    // and nothing of it is left, so one more attempt is safe, and it spares
    // the user a failed connect or a watchdog round.
    ok = create(flags);
  }
  if (!ok) return fail(last_os_error());
  if (pi.hProcess == nullptr) {
    // Wine starts a Linux program as a process of the host, not of its own:
    // it answers with no process handle and leaves in the thread handle and
    // the id whatever its stack held, often a live handle of ours. Closing
    // that closed a thread's handle, which then failed to join.
    return Created{};
  }
  if (job != nullptr) {
    if (auto bound = bind_and_resume(pi, job); !bound) {
      discard(pi);
      return fail(std::move(bound.error()));
    }
  }
  CloseHandle(pi.hThread);
  return Created{UniqueHandle(pi.hProcess), pi.dwProcessId};
}

}  // namespace

// ---- pipes ----

void PipeEnd::close() noexcept {
  close_handle(handle_);
}

Result<std::size_t> PipeReader::read(std::span<char> buf) {
  if (!is_open()) return fail(os_error(ERROR_INVALID_HANDLE));
  if (buf.empty()) return 0;
  const DWORD want = buf.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(buf.size());
  while (true) {
    DWORD got = 0;
    if (!ReadFile(handle_, buf.data(), want, &got, nullptr)) {
      const DWORD err = GetLastError();
      // The pipe's end, once every writer has closed it.
      if (err == ERROR_BROKEN_PIPE) return 0;
      return fail(os_error(err));
    }
    // A zero-byte write by the child arrives as a zero-byte read; it is not
    // the end of the stream.
    if (got != 0) return static_cast<std::size_t>(got);
  }
}

Result<void> PipeWriter::write_all(std::string_view bytes) {
  if (!is_open()) return fail(os_error(ERROR_INVALID_HANDLE));
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > (1u << 20) ? (1u << 20) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(handle_, bytes.data(), chunk, &written, nullptr)) return fail(last_os_error());
    bytes.remove_prefix(written);
  }
  return {};
}

// ---- processes ----

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      process_(std::exchange(other.process_, NO_NATIVE_HANDLE)),
      stdin_(std::exchange(other.stdin_, std::nullopt)),
      stdout_(std::exchange(other.stdout_, std::nullopt)),
      stderr_(std::exchange(other.stderr_, std::nullopt)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    end_and_reap();
    pid_ = std::exchange(other.pid_, 0);
    process_ = std::exchange(other.process_, NO_NATIVE_HANDLE);
    stdin_ = std::exchange(other.stdin_, std::nullopt);
    stdout_ = std::exchange(other.stdout_, std::nullopt);
    stderr_ = std::exchange(other.stderr_, std::nullopt);
  }
  return *this;
}

void Process::end_and_reap() noexcept {
  stdin_.reset();
  if (owns_process()) {
    // A child that refuses to end is not waited for: that would hang the owner.
    if (terminate(1)) WaitForSingleObject(process_, INFINITE);
  }
  stdout_.reset();
  stderr_.reset();
  close_handle(process_);
  pid_ = 0;
}

bool Process::owns_process() const noexcept {
  return UniqueHandle::valid(process_);
}

Result<int> Process::wait() {
  if (!owns_process()) return fail(os_error(ERROR_INVALID_HANDLE));
  if (WaitForSingleObject(process_, INFINITE) == WAIT_FAILED) return fail(last_os_error());
  DWORD code = 0;
  if (!GetExitCodeProcess(process_, &code)) return fail(last_os_error());
  return static_cast<int>(code);
}

Result<std::optional<int>> Process::try_wait() {
  if (!owns_process()) return fail(os_error(ERROR_INVALID_HANDLE));
  switch (WaitForSingleObject(process_, 0)) {
    case WAIT_TIMEOUT:
      return std::optional<int>();
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      if (!GetExitCodeProcess(process_, &code)) return fail(last_os_error());
      return std::optional<int>(static_cast<int>(code));
    }
    default:
      return fail(last_os_error());
  }
}

Result<void> Process::terminate(int exit_code) {
  if (!owns_process()) return fail(os_error(ERROR_INVALID_HANDLE));
  if (TerminateProcess(process_, static_cast<UINT>(exit_code))) return {};
  const DWORD err = GetLastError();
  // Terminating a process that has already ended fails with access denied.
  if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) return {};
  return fail(os_error(err));
}

std::uint32_t Process::release() noexcept {
  const std::uint32_t pid = pid_;
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
  close_handle(process_);
  pid_ = 0;
  return pid;
}

std::vector<Result<Process>> spawn_all(std::span<const SpawnOptions> options) {
  std::vector<Result<Process>> results;
  results.reserve(options.size());
  for (const SpawnOptions& o : options) {
    results.push_back(spawn(o));
    if (!results.back()) break;
  }
  return results;
}

Result<Process> spawn(const SpawnOptions& options) {
  Process process;
  UniqueHandle child_ends[3];
  const Stdio kinds[3] = {options.std_in, options.std_out, options.std_err};
  const DWORD std_ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int i = 0; i < 3; ++i) {
    switch (kinds[i]) {
      case Stdio::Inherit: {
        auto h = own_std_handle(std_ids[i]);
        if (!h) return fail(h.error());
        child_ends[i] = std::move(*h);
        break;
      }
      case Stdio::Null: {
        auto h = open_null();
        if (!h) return fail(h.error());
        child_ends[i] = std::move(*h);
        break;
      }
      case Stdio::Pipe: {
        // Created not inheritable: a child started meanwhile by another
        // thread must not get either end.
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, nullptr, PIPE_BUFFER)) return fail(last_os_error());
        if (i == 0) {
          child_ends[0].reset(read_end);
          process.stdin_.emplace(write_end);
        } else {
          child_ends[i].reset(write_end);
          (i == 1 ? process.stdout_ : process.stderr_).emplace(read_end);
        }
        break;
      }
    }
  }
  HANDLE job = nullptr;
  if (options.end_with_service) {
    auto made = service_job();
    if (!made) return fail(made.error());
    job = *made;
  }
  // A console program started by a process that has none (the service
  // under the service control manager) gets a console of its own, and with
  // it a console host process. Under Wine that host holds the child's
  // handles, our output pipes among them, and now and then outlives a child
  // ended early in its start: the thread that reads the core's output then
  // never saw its end, and a thread, its stack and its handles stayed behind
  // every few starts.
  const DWORD flags = options.no_console ? DETACHED_PROCESS : 0;
  HANDLE handles[3] = {child_ends[0].get(), child_ends[1].get(), child_ends[2].get()};
  UniqueHandle token;
  if (options.unprivileged) {
    auto made = unprivileged_token();
    if (!made) return fail(made.error());
    token = std::move(*made);
  }
  auto created = create_process(options.program, options.args, options.working_dir, handles, flags,
                                job, token.get());
  if (!created) return fail(created.error());
  process.pid_ = created->pid;
  process.process_ = created->process.release();
  // The child's ends close here, so the parent holds only its own ends.
  return process;
}

// The job object, not a thread, ties the children to the service.
void make_thread_lasting() noexcept {}
void outlive_children_of_this_thread() noexcept {}

Result<std::uint32_t> spawn_detached(const std::string& program, std::span<const std::string> args,
                                     const std::optional<std::string>& working_dir) {
  auto created = create_process(program, args, working_dir, nullptr,
                                DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | outliving_flags());
  if (!created) return fail(created.error());
  return static_cast<std::uint32_t>(created->pid);
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  (void)argc;
  (void)argv;
  const wchar_t* line = GetCommandLineW();
  std::vector<std::string> args;
  // The system's own splitter, as every other Windows program reads its
  // command line; loaded on demand so the service does not link shell32.
  using Splitter = LPWSTR*(WINAPI*)(LPCWSTR, int*);
  if (HMODULE shell = LoadLibraryW(L"shell32.dll")) {
    auto split = reinterpret_cast<Splitter>(
        reinterpret_cast<void*>(GetProcAddress(shell, "CommandLineToArgvW")));
    int count = 0;
    LPWSTR* words = split != nullptr ? split(line, &count) : nullptr;
    if (words != nullptr) {
      for (int i = 1; i < count; ++i) args.push_back(narrow(words[i]));
      LocalFree(words);
      FreeLibrary(shell);
      return args;
    }
    FreeLibrary(shell);
  }
  args = split_windows_command_line(narrow(line));
  if (!args.empty()) args.erase(args.begin());
  return args;
}

extern const bool PROGRAM_REPLACEABLE = false;
extern const bool PROXY_CORE_UNPRIVILEGED = false;

Result<void> replace_program(const std::string&) {
  return fail(os_error(ERROR_NOT_SUPPORTED));
}

void end_process(int exit_code) noexcept {
  ::ExitProcess(static_cast<UINT>(exit_code));
}

}  // namespace ombrel::platform
