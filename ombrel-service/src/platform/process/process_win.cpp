#include <windows.h>
// After windows.h, which it needs.
#include <userenv.h>

#include <memory>
#include <string_view>
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

// The account the proxy core runs as, and the words its refusal is said in.
constexpr std::string_view CORE_LOGON_REFUSED = "вход LocalService отклонён";
constexpr std::string_view CORE_TOKEN_UNFIT = "маркер LocalService не подготовлен";
constexpr std::string_view CORE_CREATE_REFUSED = "запуск под LocalService отклонён";

// Every privilege of `token` removed but the traversal of folders
// (SeChangeNotifyPrivilege, which every account holds and which spares the
// core a check on each folder of a path). SE_PRIVILEGE_REMOVED takes a
// privilege out of the token for good, so the core cannot enable it again.
// AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when it
// changed only some: that counts as a failure here.
Result<void> remove_privileges(HANDLE token) {
  auto held = token_information(token, TokenPrivileges);
  if (!held) return fail(std::move(held.error()));
  auto* list = reinterpret_cast<TOKEN_PRIVILEGES*>(held->data());
  LUID traverse{};
  if (!LookupPrivilegeValueW(nullptr, SE_CHANGE_NOTIFY_NAME, &traverse)) {
    return fail(last_os_error());
  }
  DWORD kept = 0;
  for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
    const LUID luid = list->Privileges[i].Luid;
    if (luid.LowPart == traverse.LowPart && luid.HighPart == traverse.HighPart) continue;
    list->Privileges[kept].Luid = luid;
    list->Privileges[kept].Attributes = SE_PRIVILEGE_REMOVED;
    ++kept;
  }
  if (kept == 0) return {};
  list->PrivilegeCount = kept;
  SetLastError(ERROR_SUCCESS);
  if (!AdjustTokenPrivileges(token, FALSE, list, 0, nullptr, nullptr) ||
      GetLastError() != ERROR_SUCCESS) {
    return fail(last_os_error());
  }
  return {};
}

// The logon SID of `token`'s session: the group marked SE_GROUP_LOGON_ID.
// Each logon has one of its own, so a grant to it reaches this logon's
// processes and no other process of the same account.
Result<std::vector<BYTE>> logon_sid(HANDLE token) {
  auto groups = token_information(token, TokenGroups);
  if (!groups) return fail(std::move(groups.error()));
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups->data());
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    if ((list->Groups[i].Attributes & SE_GROUP_LOGON_ID) != SE_GROUP_LOGON_ID) continue;
    const DWORD length = GetLengthSid(list->Groups[i].Sid);
    std::vector<BYTE> sid(length);
    if (!CopySid(length, sid.data(), list->Groups[i].Sid)) return fail(last_os_error());
    return sid;
  }
  return fail(os_error(ERROR_NO_SUCH_LOGON_SESSION));
}

// The default access list of the core's token: what the objects it makes
// get, its own process and threads first (CreateProcessAsUserW with no
// process attributes gives the new process "the default security
// descriptor of the user referenced in hToken"). SYSTEM and this logon
// alone: other processes of LocalService, which share its account but not
// its logon, cannot open it, read its memory or end it. OWNER RIGHTS
// (S-1-3-4) with reading of the access list only takes away what an owner
// is otherwise granted implicitly (READ_CONTROL and WRITE_DAC): the owner
// of these objects is LocalService, the account every such process holds.
Result<void> set_default_access(HANDLE token) {
  auto logon = logon_sid(token);
  if (!logon) return fail(std::move(logon.error()));
  auto system = well_known_sid(WinLocalSystemSid);
  if (!system) return fail(std::move(system.error()));
  auto owner = well_known_sid(WinCreatorOwnerRightsSid);
  if (!owner) return fail(std::move(owner.error()));
  const DWORD size = static_cast<DWORD>(sizeof(ACL) + 3 * sizeof(ACCESS_ALLOWED_ACE) +
                                        logon->size() + system->size() + owner->size());
  std::vector<BYTE> buffer(size);
  auto* acl = reinterpret_cast<ACL*>(buffer.data());
  if (!InitializeAcl(acl, size, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system->data()) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, logon->data()) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, READ_CONTROL, owner->data())) {
    return fail(last_os_error());
  }
  TOKEN_DEFAULT_DACL dacl{acl};
  if (!SetTokenInformation(token, TokenDefaultDacl, &dacl, sizeof dacl)) {
    return fail(last_os_error());
  }
  return {};
}

// The proxy core's token: a service logon of LocalService, made by the
// service as SYSTEM. LogonUserW documents "NT AUTHORITY" as the domain of
// LocalService with LOGON32_LOGON_SERVICE, and the account has no password
// (the argument is ignored for it). The token holds Users, which the
// system's libraries outside the KnownDLLs and the service's window station
// grant reading to; SYSTEM and Administrators are not in it at all.
Result<UniqueHandle> core_account_token() {
  UniqueHandle token;
  if (!LogonUserW(L"LocalService", L"NT AUTHORITY", nullptr, LOGON32_LOGON_SERVICE,
                  LOGON32_PROVIDER_DEFAULT, token.put())) {
    return fail(last_os_error().wrapped(std::string(CORE_LOGON_REFUSED)));
  }
  // Wine answers the logon with success and a handle that is no token
  // (0xdeadbeef): the first query of it below fails, and the core is
  // started as the service.
  if (auto removed = remove_privileges(token.get()); !removed) {
    return fail(std::move(removed.error()).wrapped(std::string(CORE_TOKEN_UNFIT)));
  }
  if (auto access = set_default_access(token.get()); !access) {
    return fail(std::move(access.error()).wrapped(std::string(CORE_TOKEN_UNFIT)));
  }
  return token;
}

// An environment block the system builds for `token`'s account, with
// nothing of this process's (bInherit FALSE); the service's own account
// when `token` is null. Freed with DestroyEnvironmentBlock.
class EnvironmentBlock {
 public:
  EnvironmentBlock() = default;
  EnvironmentBlock(const EnvironmentBlock&) = delete;
  EnvironmentBlock& operator=(const EnvironmentBlock&) = delete;
  ~EnvironmentBlock() {
    if (block_ != nullptr) DestroyEnvironmentBlock(block_);
  }

  Result<void> build(HANDLE token) {
    UniqueHandle own;
    if (token == nullptr) {
      if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, own.put())) {
        return fail(last_os_error());
      }
      token = own.get();
    }
    if (!CreateEnvironmentBlock(&block_, token, FALSE)) {
      block_ = nullptr;
      return fail(last_os_error());
    }
    return {};
  }

  void* get() const noexcept { return block_; }

 private:
  void* block_ = nullptr;
};

// CreateProcessW with the given standard handles (all three or none) as the
// only inherited handles, inside `job` when one is given, with `environment`
// (a Unicode block) instead of the service's when one is given;
// CreateProcessAsUserW when a `token` is given.
Result<Created> create_process(const std::string& program, std::span<const std::string> args,
                               const std::optional<std::string>& working_dir, HANDLE std_handles[3],
                               DWORD flags, HANDLE job = nullptr, HANDLE token = nullptr,
                               void* environment = nullptr) {
  const std::wstring application = wide(program);
  std::wstring command_line = wide(windows_command_line(program, args));
  const std::wstring directory = working_dir ? wide(*working_dir) : std::wstring();

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  // An empty desktop name: the child of another logon gets a window station
  // and desktop of that logon's own ("Service-0x0-{logon}$\\default", made by
  // the system for a noninteractive logon), not the service's, which grants
  // LocalService nothing.
  wchar_t no_desktop[] = L"";
  if (token != nullptr) si.StartupInfo.lpDesktop = no_desktop;
  if (environment != nullptr) flags |= CREATE_UNICODE_ENVIRONMENT;
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
                                  inherit, with_flags, environment, folder, &si.StartupInfo, &pi);
    }
    return CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, inherit,
                          with_flags, environment, folder, &si.StartupInfo, &pi);
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
      stderr_(std::exchange(other.stderr_, std::nullopt)),
      refused_(std::exchange(other.refused_, std::nullopt)),
      own_account_(std::exchange(other.own_account_, false)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    end_and_reap();
    pid_ = std::exchange(other.pid_, 0);
    process_ = std::exchange(other.process_, NO_NATIVE_HANDLE);
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
  // A child without the service's rights may not open the service's
  // console either, and needs none.
  const DWORD flags = options.no_console || options.unprivileged ? DETACHED_PROCESS : 0;
  HANDLE handles[3] = {child_ends[0].get(), child_ends[1].get(), child_ends[2].get()};
  Result<Created> created = fail(os_error(ERROR_INVALID_FUNCTION));
  if (options.unprivileged) {
    created = [&]() -> Result<Created> {
      auto token = core_account_token();
      if (!token) return fail(std::move(token.error()));
      EnvironmentBlock environment;
      if (auto built = environment.build(token->get()); !built) {
        return fail(std::move(built.error()).wrapped(std::string(CORE_TOKEN_UNFIT)));
      }
      auto made = create_process(options.program, options.args, options.working_dir, handles, flags,
                                 job, token->get(), environment.get());
      if (!made) return fail(std::move(made.error()).wrapped(std::string(CORE_CREATE_REFUSED)));
      return made;
    }();
    if (created) {
      process.own_account_ = true;
    } else {
      // Started as any other child: the account is a hardening, and the
      // tunnel must not be lost to it. The caller says why, once.
      process.refused_ = created.error();
    }
  }
  if (!process.own_account_) {
    EnvironmentBlock environment;
    if (options.own_environment) OMBREL_TRY(environment.build(nullptr));
    created = create_process(options.program, options.args, options.working_dir, handles, flags,
                             job, nullptr, environment.get());
  }
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
extern const bool PROXY_CORE_UNPRIVILEGED = true;

bool ended_for_want_of_rights(int exit_code) noexcept {
  // What a process ends with when the loader or the system refuses it
  // before its entry point runs: an import not found or unreadable to its
  // account, a library whose start failed, an access refused.
  switch (static_cast<DWORD>(exit_code)) {
    case 0xC0000135:  // STATUS_DLL_NOT_FOUND
    case 0xC0000022:  // STATUS_ACCESS_DENIED
    case 0xC0000142:  // STATUS_DLL_INIT_FAILED
      return true;
    default:
      return false;
  }
}

Result<void> replace_program(const std::string&) {
  return fail(os_error(ERROR_NOT_SUPPORTED));
}

void end_process(int exit_code) noexcept {
  ::ExitProcess(static_cast<UINT>(exit_code));
}

}  // namespace ombrel::platform
