#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cwchar>
#include <memory>
#include <vector>

#include "base/text.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/process/proclist.hpp"
#include "platform/token_win.hpp"

namespace ombrel::platform {
namespace {

// Components of a Win32 path; either slash separates them.
std::vector<std::wstring_view> components(std::wstring_view path) {
  std::vector<std::wstring_view> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    const auto next = path.find_first_of(L"\\/", i);
    const auto end = next == std::wstring_view::npos ? path.size() : next;
    if (end > i) parts.push_back(path.substr(i, end - i));
    if (next == std::wstring_view::npos) break;
    i = end + 1;
  }
  return parts;
}

bool same_component(std::wstring_view a, std::wstring_view b) {
  // File names compare as the file system does: ordinal, ignoring case.
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

Result<std::vector<ProcessEntry>> list_processes() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return fail(last_os_error());
  std::vector<ProcessEntry> entries;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  for (BOOL more = Process32FirstW(snapshot.get(), &pe); more;
       more = Process32NextW(snapshot.get(), &pe)) {
    const std::size_t len = wcsnlen(pe.szExeFile, MAX_PATH);
    std::wstring_view name(pe.szExeFile, len);
    // Some systems report a path here; only the file name is wanted.
    if (const auto slash = name.find_last_of(L"\\/"); slash != std::wstring_view::npos) {
      name.remove_prefix(slash + 1);
    }
    entries.push_back(ProcessEntry{pe.th32ProcessID, narrow({name.data(), name.size()})});
  }
  return entries;
}

Result<std::string> process_image_path(std::uint32_t pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return fail(last_os_error());
  std::wstring buf(32768, L'\0');
  DWORD size = static_cast<DWORD>(buf.size());
  if (!QueryFullProcessImageNameW(process.get(), 0, buf.data(), &size)) {
    return fail(last_os_error());
  }
  return narrow({buf.data(), size});
}

std::uint32_t current_process_id() {
  return GetCurrentProcessId();
}

Result<void> terminate_process(std::uint32_t pid, int exit_code) {
  UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
  if (!process) return fail(last_os_error());
  if (!TerminateProcess(process.get(), static_cast<UINT>(exit_code))) return fail(last_os_error());
  return {};
}

struct HeldProcess::Impl {
  UniqueHandle process;
};

Result<HeldProcess> HeldProcess::open(std::uint32_t pid) {
  auto impl = std::make_unique<Impl>();
  impl->process.reset(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
  if (!impl->process) return fail(last_os_error());
  return HeldProcess(std::move(impl));
}

HeldProcess::HeldProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HeldProcess::HeldProcess(HeldProcess&&) noexcept = default;
HeldProcess& HeldProcess::operator=(HeldProcess&&) noexcept = default;
HeldProcess::~HeldProcess() = default;

Result<std::string> HeldProcess::image_path() const {
  std::wstring buf(32768, L'\0');
  DWORD size = static_cast<DWORD>(buf.size());
  if (!QueryFullProcessImageNameW(impl_->process.get(), 0, buf.data(), &size)) {
    return fail(last_os_error());
  }
  return narrow({buf.data(), size});
}

Result<bool> HeldProcess::runs_as_this_account() const {
  auto theirs = process_token_user(impl_->process.get());
  if (!theirs) return fail(theirs.error());
  auto ours = process_token_user(GetCurrentProcess());
  if (!ours) return fail(ours.error());
  const auto* a = reinterpret_cast<const TOKEN_USER*>(theirs->data());
  const auto* b = reinterpret_cast<const TOKEN_USER*>(ours->data());
  if (EqualSid(a->User.Sid, b->User.Sid)) return true;
  // The service, as the system account, starts its proxy core as
  // LocalService (`SpawnOptions::unprivileged`): a core of that account is
  // still one of the service's.
  return IsWellKnownSid(a->User.Sid, WinLocalServiceSid) &&
         IsWellKnownSid(b->User.Sid, WinLocalSystemSid);
}

Result<void> HeldProcess::terminate(int exit_code) const {
  if (!TerminateProcess(impl_->process.get(), static_cast<UINT>(exit_code))) {
    return fail(last_os_error());
  }
  return {};
}

Result<std::string> canonical_path(const std::string& path) {
  // No access is asked for, only the handle's name; backup semantics let
  // folders open too. Sharing everything, so a running image opens as well.
  UniqueHandle file(CreateFileW(wide(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return fail(last_os_error());
  std::wstring buf(MAX_PATH, L'\0');
  while (true) {
    const DWORD n =
        GetFinalPathNameByHandleW(file.get(), buf.data(), static_cast<DWORD>(buf.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return fail(last_os_error());
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(n);
  }
  std::wstring_view result = buf;
  if (result.starts_with(L"\\\\?\\UNC\\")) {
    return "\\\\" + narrow({result.data() + 8, result.size() - 8});
  }
  if (result.starts_with(L"\\\\?\\")) result.remove_prefix(4);
  return narrow({result.data(), result.size()});
}

bool same_path(const std::string& a, const std::string& b) {
  const std::wstring wa = wide(a);
  const std::wstring wb = wide(b);
  const auto ca = components(wa);
  const auto cb = components(wb);
  if (ca.size() != cb.size()) return false;
  for (std::size_t i = 0; i < ca.size(); ++i) {
    if (!same_component(ca[i], cb[i])) return false;
  }
  return true;
}

std::size_t end_leftover_core_processes() {
  return 0;
}

bool runs_as_core_account(std::uint32_t) {
  return false;
}

}  // namespace ombrel::platform
