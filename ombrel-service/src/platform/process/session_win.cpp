#include <windows.h>
// After windows.h, which they need.
#include <userenv.h>
#include <wtsapi32.h>

#include "base/text.hpp"
#include "platform/files/paths.hpp"
#include "platform/handle_win.hpp"
#include "platform/process/job_win.hpp"
#include "platform/process/session.hpp"

namespace ombrel::platform {

const char* const DESKTOP_EXE_NAME = "ombrel-desktop.exe";

namespace {

constexpr DWORD NO_SESSION = 0xFFFFFFFF;
constexpr DWORD TOKEN_ACCESS = 0xF01FF;  // TOKEN_ALL_ACCESS
constexpr DWORD FLAGS_WITHOUT_ENVIRONMENT = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;  // 0x30
constexpr DWORD FLAGS_WITH_ENVIRONMENT =
    FLAGS_WITHOUT_ENVIRONMENT | CREATE_UNICODE_ENVIRONMENT;  // 0x430
static_assert(FLAGS_WITHOUT_ENVIRONMENT == 0x30 && FLAGS_WITH_ENVIRONMENT == 0x430);
static_assert(sizeof(STARTUPINFOW) == 104);

// The user's environment block, destroyed when dropped.
class EnvironmentBlock {
 public:
  explicit EnvironmentBlock(HANDLE token) {
    if (!CreateEnvironmentBlock(&block_, token, FALSE)) block_ = nullptr;
  }
  EnvironmentBlock(const EnvironmentBlock&) = delete;
  EnvironmentBlock& operator=(const EnvironmentBlock&) = delete;
  ~EnvironmentBlock() {
    if (block_ != nullptr) DestroyEnvironmentBlock(block_);
  }
  void* get() const { return block_; }

 private:
  void* block_ = nullptr;
};

// With no application name the system reads the program from the command
// line, where an unquoted "C:\Program Files\..." would stop at the blank
// (and could start "C:\Program.exe"). Windows paths cannot hold quotes, so
// wrapping the path is all the quoting it needs.
std::string program_command_line(const std::string& program) {
  if (program.find_first_of(" \t") == std::string::npos) return program;
  return "\"" + program + "\"";
}

}  // namespace

Result<void> launch_in_user_session(const std::string& install_dir) {
  const std::string program = join_path(install_dir, DESKTOP_EXE_NAME);

  const DWORD session = WTSGetActiveConsoleSessionId();
  if (session == NO_SESSION) return fail(std::string(NO_CONSOLE_SESSION));

  UniqueHandle session_token;
  if (!WTSQueryUserToken(session, session_token.put())) return fail(std::string(NO_USER_TOKEN));

  UniqueHandle primary;
  const BOOL duplicated = DuplicateTokenEx(session_token.get(), TOKEN_ACCESS, nullptr,
                                           SecurityImpersonation, TokenPrimary, primary.put());
  session_token.reset();
  if (!duplicated) return fail(std::string(TOKEN_NOT_DUPLICATED));

  std::wstring command_line = wide(program_command_line(program));
  std::wstring desktop = L"winsta0\\default";
  const std::string folder = parent_path(program);
  const std::wstring directory = wide(folder);

  PROCESS_INFORMATION pi{};
  BOOL created = FALSE;
  {
    // Without a block the application still starts, with no explicit
    // environment. The block is destroyed and the token closed (in that
    // order) before the outcome is looked at.
    const EnvironmentBlock environment(primary.get());
    const DWORD flags =
        environment.get() != nullptr ? FLAGS_WITH_ENVIRONMENT : FLAGS_WITHOUT_ENVIRONMENT;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.lpDesktop = desktop.data();
    // The application belongs to the user, not to the service: it must not
    // end with a job the service may run in.
    const DWORD breakaway = outliving_flags();
    created = CreateProcessAsUserW(primary.get(), nullptr, command_line.data(), nullptr, nullptr,
                                   FALSE, flags | breakaway, environment.get(),
                                   folder.empty() ? nullptr : directory.c_str(), &si, &pi);
    if (!created && breakaway != 0 && GetLastError() == ERROR_ACCESS_DENIED) {
      created = CreateProcessAsUserW(primary.get(), nullptr, command_line.data(), nullptr, nullptr,
                                     FALSE, flags, environment.get(),
                                     folder.empty() ? nullptr : directory.c_str(), &si, &pi);
    }
  }
  primary.reset();
  if (!created) return fail(std::string(DESKTOP_NOT_STARTED));
  // A program Wine starts as a host process comes back with no process
  // handle and stack leftovers in the rest (see create_process).
  if (pi.hProcess == nullptr) return {};
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return {};
}

}  // namespace ombrel::platform
