// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <optional>
#include <vector>

#include "base/text.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/process/proclist.hpp"
#include "platform/token_win.hpp"
#include "platform/trust/install_folder.hpp"

namespace ombrel::platform {

namespace {

constexpr const wchar_t* TRUSTED_INSTALLER =
    L"S-1-5-80-956008885-3425870976-2573247734-1233264046-1183309829";

// Rights that let a holder write to a folder, create files in it, delete
// from it, or change its access list or owner. On the installation folder
// adding a sub-folder counts as well (the same bit is appending to a file,
// for entries meant for its files).
constexpr ACCESS_MASK CHANGING = FILE_ADD_FILE | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
constexpr ACCESS_MASK CHANGING_HERE = CHANGING | FILE_ADD_SUBDIRECTORY;

struct Trusted {
  std::vector<unsigned char> trusted_installer;
  PSID own;
};

bool is_trusted(PSID sid, const Trusted& trusted) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  if (EqualSid(sid, const_cast<unsigned char*>(trusted.trusted_installer.data()))) return true;
  return trusted.own != nullptr && EqualSid(sid, trusted.own);
}

Result<std::vector<unsigned char>> sid_from_text(const wchar_t* text) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text, &sid)) return fail(last_os_error());
  const LocalMemory owned(sid);
  std::vector<unsigned char> out(GetLengthSid(sid));
  if (!CopySid(static_cast<DWORD>(out.size()), out.data(), sid)) return fail(last_os_error());
  return out;
}

// What a descriptor belongs to: a folder above the installation folder, the
// installation folder itself, or a program file in it.
enum class Judged { Above, InstallationFolder, ProgramFile };

Result<bool> judge(PSECURITY_DESCRIPTOR sd, PSID own, Judged what) {
  auto ti = sid_from_text(TRUSTED_INSTALLER);
  if (!ti) return fail(ti.error());
  const Trusted trusted{std::move(*ti), own};
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !is_trusted(owner, trusted)) {
    return false;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  // No access list at all lets everybody do everything.
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    return false;
  }
  // On a file the same bits are writing and appending to it.
  const ACCESS_MASK changing = what == Judged::Above ? CHANGING : CHANGING_HERE;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
        header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE) {
      continue;  // denials only take rights away
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      return false;  // object and compound entries have no business on a folder
    }
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const bool inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    // Above the installation folder an inherit-only entry grants nothing on
    // the folder itself; what it hands down shows in the lists below. A
    // file hands nothing down.
    if (inherit_only && what != Judged::InstallationFolder) continue;
    if ((allowed->Mask & changing) == 0) continue;
    const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (is_trusted(sid, trusted)) continue;
    if (inherit_only && IsWellKnownSid(sid, WinCreatorOwnerSid)) continue;
    return false;
  }
  return true;
}

// The user of the service control manager's own process (services.exe in
// the system folder), which is the user it gives a LocalSystem service: the
// system account on Windows, the one user under Wine. The manager runs
// whenever a service can be installed; any one service of its may not have
// started yet (in a Wine prefix just made the services start a while after
// the first program), and asking one would judge the same folder two ways.
std::optional<std::vector<unsigned char>> service_manager_user() {
  wchar_t system[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  const std::wstring manager = std::wstring(system, n) + L"\\services.exe";
  auto processes = list_processes();
  if (!processes) return std::nullopt;
  for (const ProcessEntry& entry : *processes) {
    if (_stricmp(entry.exe_name.c_str(), "services.exe") != 0) continue;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.pid));
    if (!process) continue;
    // The image judged through the handle the token is read from.
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &size) ||
        _wcsicmp(image, manager.c_str()) != 0) {
      continue;
    }
    auto user = process_token_user(process.get());
    if (!user) continue;
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user->data())->User.Sid;
    std::vector<unsigned char> out(GetLengthSid(sid));
    if (CopySid(static_cast<DWORD>(out.size()), out.data(), sid)) return out;
  }
  return std::nullopt;
}

Result<std::vector<unsigned char>> service_user() {
  if (auto user = service_manager_user()) return std::move(*user);
  return sid_from_text(L"S-1-5-18");
}

}  // namespace

Result<bool> is_safe_folder_sddl(std::string_view sddl, std::string_view own_sid,
                                 bool installation_folder) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl).c_str(), SDDL_REVISION_1,
                                                            &sd, nullptr)) {
    return fail(last_os_error());
  }
  const LocalMemory owned(sd);
  auto own = sid_from_text(wide(own_sid).c_str());
  if (!own) return fail(own.error());
  return judge(sd, own->data(), installation_folder ? Judged::InstallationFolder : Judged::Above);
}

Result<bool> is_safe_install_folder(const std::string& folder, JudgedBy by) {
  const std::wstring path = wide(folder);
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::vector<wchar_t> full(n + 1);
  if (n == 0 ||
      (n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr)) ==
          0 ||
      n >= full.size()) {
    return fail(last_os_error().wrapped("не проверить " + folder));
  }
  std::wstring p(full.data(), n);
  if (p.starts_with(L"\\\\?\\")) p.erase(0, 4);
  // Only a folder on a drive of its own: a share's access is the server's.
  if (p.size() < 3 || p[1] != L':' || (p[2] != L'\\' && p[2] != L'/')) return false;
  while (p.size() > 3 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
  auto own = by == JudgedBy::Service ? service_user() : own_user_sid();
  if (!own) return fail(own.error().wrapped("не проверить " + folder));

  // From the folder up to the volume root.
  bool installation_folder = true;
  for (;;) {
    const std::wstring long_form = L"\\\\?\\" + (p.size() == 2 ? p + L"\\" : p);
    UniqueHandle h(CreateFileW(long_form.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return fail(last_os_error().wrapped("не проверить " + folder));
    const bool root = p.size() <= 3;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h.get(), &info)) {
      return fail(last_os_error().wrapped("не проверить " + folder));
    }
    // Wine follows a Unix link even here, but marks it in the folder's
    // listing; a volume root is never a link of its own.
    const DWORD listed = GetFileAttributesW(long_form.c_str());
    const bool link =
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (listed != INVALID_FILE_ATTRIBUTES && (listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (!root && link)) return false;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD err = GetSecurityInfo(h.get(), SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &sd);
    if (err != ERROR_SUCCESS) return fail(os_error(err).wrapped("не проверить " + folder));
    const LocalMemory owned(sd);
    auto safe =
        judge(sd, own->data(), installation_folder ? Judged::InstallationFolder : Judged::Above);
    if (!safe || !*safe) return safe;
    if (root) return true;
    installation_folder = false;
    const auto cut = p.find_last_of(L"\\/");
    p.erase(cut <= 2 ? 3 : cut);
  }
}

Result<bool> is_safe_program_file(const InputFile& file) {
  // The handle was opened for reading, which holds READ_CONTROL: the owner
  // and the access list come from the very file held.
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD err = GetSecurityInfo(static_cast<HANDLE>(file.native_handle()), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, nullptr, &sd);
  if (err != ERROR_SUCCESS) return fail(os_error(err));
  const LocalMemory owned(sd);
  auto own = own_user_sid();
  if (!own) return fail(own.error());
  return judge(sd, own->data(), Judged::ProgramFile);
}

Result<std::string> held_file_folder(const InputFile& file) {
  const auto handle = static_cast<HANDLE>(file.native_handle());
  // The path the system names for the open file, links on the way
  // resolved, with its drive letter ("\\?\C:\..." or "\\?\UNC\...").
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return fail(last_os_error());
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    name.resize(n + 1);
  }
  std::wstring path(name.begin(), name.end());
  // A share keeps its "\\" so that the folder's judgement refuses it.
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    path = L"\\" + path.substr(7);
  } else if (path.starts_with(L"\\\\?\\")) {
    path.erase(0, 4);
  }
  const auto cut = path.find_last_of(L'\\');
  if (cut == std::wstring::npos) return fail(os_error(ERROR_BAD_PATHNAME));
  // A file straight in a volume's root: the root with its separator.
  return narrow(path.substr(0, cut <= 2 ? cut + 1 : cut));
}

}  // namespace ombrel::platform
