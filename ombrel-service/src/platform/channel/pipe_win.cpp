#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/channel/pipe_common.hpp"
#include "platform/files/io_watch_win.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/token_win.hpp"
#include "platform/trust/access_win.hpp"

namespace ombrel::platform {
namespace {

using pipe_detail::Stall;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* PIPE_NAME = "\\\\.\\pipe\\OmbrelService";
// Full control for LocalSystem; interactive users read and write. Their
// GENERIC_WRITE includes the right to create an instance of the name, which
// gives them nothing: the pipe is made as the first and only instance and is
// kept, disconnected and reconnected, for as long as the service runs. It
// stays, since the desktop application opens the pipe with GENERIC_WRITE and
// a list without it would refuse every such client.
constexpr const wchar_t* PIPE_SDDL = L"D:(A;;GA;;;SY)(A;;GRGW;;;IU)";
constexpr DWORD PIPE_BUFFER = 65536;
// Pieces handed to WriteFile: a blocking write returns only once the client
// has taken up what does not fit the pipe's buffer, so smaller pieces let a
// slowly reading client count as making progress.
constexpr DWORD WRITE_PIECE = static_cast<DWORD>(pipe_detail::REPLY_PIECE);

static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);

Result<UniqueHandle> client_token(HANDLE pipe);

}  // namespace

std::string default_pipe_name() {
  return PIPE_NAME;
}

struct PipeServer::Impl {
  std::string name;
  UniqueHandle pipe;
  IoWatch watch;
  // Who connected, read right after the connection was made, and whether
  // the client was dropped for stalling since.
  std::optional<std::uint32_t> client_pid;
  bool stalled = false;
  // Reply bytes written to the current client, for the flush's bound.
  std::size_t written = 0;
  // The client's token, taken once a request is known to open files for the
  // client (an update), and kept for the rest of the connection: the system
  // lends it once the client's bytes have been read and no longer once the
  // client has gone, so a request carried out after its client has left
  // still opens the offered files as that client. Taking it for every
  // request cost each status round trip some 450 us of its 1.2 ms under Wine.
  UniqueHandle client_token;
  // The client's user as a SID string, once asked for.
  std::optional<std::string> client_account;

  // Runs one blocking call for at most `wait`; sets `stalled` when the
  // watcher had to cancel it. A deadline that has passed cancels the call
  // before it starts, even when it could complete at once, so that a client
  // that keeps the pipe busy cannot outlast it.
  template <class Call>
  DWORD bounded(const pipe_detail::Wait& wait, bool& stalled, Call call) {
    if (wait.deadline_first && wait.length.count() == 0) {
      stalled = true;
      return ERROR_OPERATION_ABORTED;
    }
    watch.arm(steady_clock::now() + wait.length);
    const BOOL ok = call();
    const DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    const bool fired = watch.disarm();
    stalled = !ok && fired && err == ERROR_OPERATION_ABORTED;
    return err;
  }

  // Drops the client that stalled on `wait` and says why.
  Error drop(Stall stall, const pipe_detail::Wait& wait, milliseconds timeout,
             const std::optional<ClientDeadline>& deadline) {
    DisconnectNamedPipe(pipe.get());
    stalled = true;
    return wait.deadline_first ? pipe_detail::deadline_error(stall, *deadline)
                               : pipe_detail::stall_error(stall, timeout);
  }
};

PipeServer::PipeServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeServer::PipeServer(PipeServer&&) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&&) noexcept = default;
PipeServer::~PipeServer() = default;

Result<PipeServer> create_pipe(const std::string& name) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PIPE_SDDL, SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    return fail("не удалось разобрать дескриптор безопасности канала");
  }
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = sd;
  sa.bInheritHandle = FALSE;
  // The first instance or none: a process that made the name first (it
  // may, during any restart) must not be joined with instances of ours
  // that its clients would reach. Nobody from another machine.
  const HANDLE h =
      CreateNamedPipeW(wide(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       1, PIPE_BUFFER, PIPE_BUFFER, 0, &sa);
  // The descriptor is only needed for the creation call.
  LocalFree(sd);
  if (h == INVALID_HANDLE_VALUE) {
    return fail("не удалось создать канал " + name);
  }
  auto impl = std::make_unique<PipeServer::Impl>();
  impl->name = name;
  impl->pipe.reset(h);
  return PipeServer(std::move(impl));
}

bool PipeServer::accept(std::stop_token stop) {
  Impl& s = *impl_;
  s.watch.arm(std::nullopt);
  {
    std::stop_callback on_stop(stop, [&s] { s.watch.fire(); });
    // Already connected, a client that came and went, or any other failure:
    // all are left to the read that follows.
    ConnectNamedPipe(s.pipe.get(), nullptr);
  }
  s.watch.disarm();
  s.stalled = false;
  s.written = 0;
  s.client_pid.reset();
  s.client_token.reset();
  s.client_account.reset();
  ULONG pid = 0;
  if (GetNamedPipeClientProcessId(s.pipe.get(), &pid) && pid != 0) {
    s.client_pid = static_cast<std::uint32_t>(pid);
  }
  return !stop.stop_requested();
}

Result<std::size_t> PipeServer::read(std::span<char> buf, milliseconds timeout,
                                     std::optional<ClientDeadline> deadline) {
  Impl& s = *impl_;
  DWORD got = 0;
  bool stalled = false;
  const DWORD want = static_cast<DWORD>(buf.size() > PIPE_BUFFER ? PIPE_BUFFER : buf.size());
  const pipe_detail::Wait wait = pipe_detail::next_wait(timeout, deadline);
  const DWORD err = s.bounded(
      wait, stalled, [&] { return ReadFile(s.pipe.get(), buf.data(), want, &got, nullptr); });
  if (err == ERROR_SUCCESS) return static_cast<std::size_t>(got);
  // The client closed its end.
  if (err == ERROR_BROKEN_PIPE) return std::size_t{0};
  if (stalled) return fail(s.drop(Stall::Request, wait, timeout, deadline));
  return fail(os_error(err));
}

Result<void> PipeServer::write_all(std::string_view bytes, milliseconds timeout,
                                   std::optional<ClientDeadline> deadline) {
  Impl& s = *impl_;
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(bytes.size() < WRITE_PIECE ? bytes.size() : WRITE_PIECE);
    DWORD put = 0;
    bool stalled = false;
    const pipe_detail::Wait wait = pipe_detail::next_wait(timeout, deadline);
    const DWORD err = s.bounded(
        wait, stalled, [&] { return WriteFile(s.pipe.get(), bytes.data(), piece, &put, nullptr); });
    if (stalled) return fail(s.drop(Stall::Reply, wait, timeout, deadline));
    if (err != ERROR_SUCCESS) return fail(os_error(err));
    bytes.remove_prefix(put);
    s.written += put;
  }
  return {};
}

Result<void> PipeServer::flush(milliseconds timeout, std::optional<ClientDeadline> deadline) {
  Impl& s = *impl_;
  // The pipe tells nothing of how much of it the client has read, so the
  // wait is as long as a client taking up one piece per time-out needs for
  // what the buffer may still hold: a steady reader is not dropped here
  // either, and the deadline still bounds the whole reply.
  const std::size_t held = std::min<std::size_t>(s.written, PIPE_BUFFER);
  const auto pieces = static_cast<milliseconds::rep>(
      std::max<std::size_t>(1, (held + pipe_detail::REPLY_PIECE - 1) / pipe_detail::REPLY_PIECE));
  const milliseconds drain = timeout * pieces;
  bool stalled = false;
  const pipe_detail::Wait wait = pipe_detail::next_wait(drain, deadline);
  s.bounded(wait, stalled, [&] { return FlushFileBuffers(s.pipe.get()); });
  if (stalled) return fail(s.drop(Stall::Drain, wait, drain, deadline));
  return {};
}

std::optional<std::uint32_t> PipeServer::client_uid() const {
  return std::nullopt;
}

namespace {

// The client's token, at whatever level the client allows (identification
// at the least, which is all `PipeClient` grants): looked at, never acted
// with. The thread takes it on for as long as it takes to copy.
Result<UniqueHandle> client_token(HANDLE pipe) {
  if (!ImpersonateNamedPipeClient(pipe)) {
    return fail(last_os_error().wrapped("не удалось узнать права клиента канала"));
  }
  UniqueHandle token;
  const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) != FALSE;
  const DWORD error = GetLastError();
  if (!RevertToSelf()) {
    // Going on with the client's identity would be worse than ending: the
    // service manager starts the service again.
    TerminateProcess(GetCurrentProcess(), 1);
  }
  if (!opened) return fail(os_error(error).wrapped("не удалось узнать права клиента канала"));
  return token;
}

// The SID of a TOKEN_USER as text ("S-1-5-21-..."); empty when it cannot
// be written.
std::string user_sid_text(const std::vector<BYTE>& token_user) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(token_user.data())->User.Sid,
                              &text)) {
    return {};
  }
  std::string out = utf16_to_utf8(reinterpret_cast<const char16_t*>(text));
  LocalFree(text);
  return out;
}

// The user of the token held for the client when there is one, else of
// the client process's own token. As LocalSystem the service may open any
// process that is not protected for PROCESS_QUERY_LIMITED_INFORMATION and
// its token for TOKEN_QUERY (OpenProcess, OpenProcessToken). A client that
// has exited may have left its id to another process by now; its lines are
// then counted under that process's user, which tells apart no worse.
std::string find_client_account(PipeServer::Impl& s) {
  if (s.client_token) {
    if (auto user = token_information(s.client_token.get(), TokenUser)) {
      return user_sid_text(*user);
    }
  }
  if (!s.client_pid) return {};
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *s.client_pid));
  if (!process) return {};
  auto user = process_token_user(process.get());
  return user ? user_sid_text(*user) : std::string();
}

}  // namespace

std::string PipeServer::client_account() const {
  if (!impl_->client_account) impl_->client_account = find_client_account(*impl_);
  return *impl_->client_account;
}

void PipeServer::hold_client_identity() {
  if (impl_->client_token) return;
  if (auto taken = client_token(impl_->pipe.get())) impl_->client_token = std::move(*taken);
}

Result<InputFile> PipeServer::open_as_client(const std::string& path) const {
  if (!impl_->client_token) {
    auto taken = client_token(impl_->pipe.get());
    if (!taken) return fail(std::move(taken.error()));
    impl_->client_token = std::move(*taken);
  }
  const HANDLE token = impl_->client_token.get();
  // Opened as the service, kept only if the file's own access list lets
  // the client read it: acting as the client for the open itself would need
  // a client that lets the service act in its name, which careful clients
  // (ombrelctl among them) do not.
  auto file = InputFile::open_local(path);
  if (!file) return file;
  auto may_read = token_may_read_file(file->native_handle(), token);
  if (!may_read) return fail(may_read.error());
  if (!*may_read) return fail(os_error(ERROR_ACCESS_DENIED));
  return file;
}

IoWatcher& PipeServer::io_watcher() {
  return impl_->watch;
}

std::optional<std::uint32_t> PipeServer::client_pid() const {
  return impl_->client_pid;
}

bool PipeServer::client_stalled() const {
  return impl_->stalled;
}

void PipeServer::disconnect() {
  DisconnectNamedPipe(impl_->pipe.get());
}

Result<std::string> PipeServer::security_sddl() const {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD r = GetSecurityInfo(impl_->pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, &sd);
  if (r != ERROR_SUCCESS) return fail(os_error(r));
  wchar_t* text = nullptr;
  const BOOL ok = ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
  const DWORD err = GetLastError();
  LocalFree(sd);
  if (!ok) return fail(os_error(err));
  std::string out = utf16_to_utf8(reinterpret_cast<const char16_t*>(text));
  LocalFree(text);
  return out;
}

struct PipeClient::Impl {
  UniqueHandle pipe;
};

PipeClient::PipeClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeClient::PipeClient(PipeClient&&) noexcept = default;
PipeClient& PipeClient::operator=(PipeClient&&) noexcept = default;
PipeClient::~PipeClient() = default;

namespace {

// LocalSystem, or an administrator whose group is enabled in the token
// (elevated; a filtered token holds it for denying only).
Result<bool> is_system_or_elevated_admin(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return fail(last_os_error());
  UniqueHandle token;
  if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return fail(last_os_error());
  const auto info = [&](TOKEN_INFORMATION_CLASS kind) {
    return token_information(token.get(), kind);
  };
  auto user = info(TokenUser);
  if (!user) return fail(user.error());
  if (IsWellKnownSid(reinterpret_cast<const TOKEN_USER*>(user->data())->User.Sid,
                     WinLocalSystemSid)) {
    return true;
  }
  auto groups = info(TokenGroups);
  if (!groups) return fail(groups.error());
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups->data());
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& g = list->Groups[i];
    if ((g.Attributes & SE_GROUP_ENABLED) != 0 &&
        IsWellKnownSid(g.Sid, WinBuiltinAdministratorsSid)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::optional<PipeHolder> pipe_name_holder(const std::string& name) {
  // Identification only, and no rights on the channel itself: enough to be
  // connected and to ask who serves.
  UniqueHandle client(CreateFileW(wide(name).c_str(), FILE_READ_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                  nullptr));
  if (!client) return std::nullopt;
  ULONG pid = 0;
  if (!GetNamedPipeServerProcessId(client.get(), &pid) || pid == 0) return std::nullopt;
  PipeHolder holder{static_cast<std::uint32_t>(pid), "?"};
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return holder;
  auto user = process_token_user(process.get());
  if (!user) return holder;
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(user->data())->User.Sid;
  wchar_t account[256];
  wchar_t domain[256];
  DWORD account_size = 256;
  DWORD domain_size = 256;
  SID_NAME_USE use{};
  if (LookupAccountSidW(nullptr, sid, account, &account_size, domain, &domain_size, &use)) {
    const std::wstring both = std::wstring(domain) + L"\\" + account;
    holder.account = utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(both.data()), both.size()));
  }
  return holder;
}

Result<ServerIdentity> PipeClient::server_identity() const {
  if (!impl_ || !impl_->pipe) return fail(os_error(ERROR_INVALID_HANDLE));
  ULONG pid = 0;
  if (!GetNamedPipeServerProcessId(impl_->pipe.get(), &pid)) return fail(last_os_error());
  ServerIdentity server;
  server.pid = static_cast<std::uint32_t>(pid);
  if (auto account = is_system_or_elevated_admin(pid)) {
    server.system_or_elevated_admin = *account;
  } else {
    server.account_error = account.error().to_string();
  }
  return server;
}

Result<PipeClient> PipeClient::connect(const std::string& name, milliseconds patience) {
  const std::string outer = "не удалось подключиться к каналу " + name;
  const std::wstring name16 = wide(name);
  const auto deadline = steady_clock::now() + patience;
  while (true) {
    // Identification only: whoever answers under this name may learn who we
    // are, but may not act as us.
    const HANDLE h =
        CreateFileW(name16.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING,
                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      auto impl = std::make_unique<Impl>();
      impl->pipe.reset(h);
      return PipeClient(std::move(impl));
    }
    const DWORD err = GetLastError();
    const auto now = steady_clock::now();
    // Busy with another client, or not created yet (the service starting).
    const bool transient = err == ERROR_PIPE_BUSY || err == ERROR_FILE_NOT_FOUND;
    if (!transient || now >= deadline) return fail(os_error(err).wrapped(outer));
    // Rounded up: a fraction of a millisecond left is still patience left.
    const auto left = std::chrono::ceil<milliseconds>(deadline - now);
    if (err == ERROR_PIPE_BUSY) {
      // 0 would mean the pipe's default wait, not "do not wait".
      WaitNamedPipeW(name16.c_str(), static_cast<DWORD>(left.count() < 1 ? 1 : left.count()));
    } else {
      Sleep(50);
    }
  }
}

Result<void> PipeClient::write_all(std::string_view bytes) {
  if (!impl_ || !impl_->pipe) return fail(os_error(ERROR_INVALID_HANDLE));
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(bytes.size() < (1u << 20) ? bytes.size() : (1u << 20));
    DWORD put = 0;
    if (!WriteFile(impl_->pipe.get(), bytes.data(), piece, &put, nullptr)) {
      return fail(last_os_error());
    }
    bytes.remove_prefix(put);
  }
  return {};
}

Result<std::size_t> PipeClient::read(std::span<char> buf) {
  if (!impl_ || !impl_->pipe) return fail(os_error(ERROR_INVALID_HANDLE));
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(buf.size() > (1u << 20) ? (1u << 20) : buf.size());
  if (ReadFile(impl_->pipe.get(), buf.data(), want, &got, nullptr)) return std::size_t{got};
  const DWORD err = GetLastError();
  // The server disconnected or closed its end.
  if (err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) return std::size_t{0};
  return fail(os_error(err));
}

Result<void> PipeClient::end_sending() {
  return fail(os_error(ERROR_NOT_SUPPORTED));
}

void PipeClient::close() {
  if (impl_) impl_->pipe.reset();
}

}  // namespace ombrel::platform
