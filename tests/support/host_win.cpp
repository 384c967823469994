// What the Windows tests ask of the host: which Windows this is, rights on
// folders they make, links, and under Wine the host's FIFOs.
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/process/process.hpp"
#include "testsupport.hpp"

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace ombrel::testsupport {

namespace {

bool under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring wide(const std::string& utf8) {
  return fs_path(utf8).wstring();
}

struct LocalFree_ {
  void operator()(void* p) const { LocalFree(p); }
};

}  // namespace

bool real_windows() {
  static const bool real = [] {
    const char* forced = std::getenv("OMBREL_REAL_WINDOWS");
    if (forced != nullptr && std::string_view(forced) == "1") return true;
    if (forced != nullptr && std::string_view(forced) == "0") return false;
    return !under_wine();
  }();
  return real;
}

bool system_account() {
  if (!real_windows()) return true;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const std::unique_ptr<void, decltype(&CloseHandle)> token(raw, &CloseHandle);
  std::vector<unsigned char> buffer(256);
  DWORD needed = 0;
  const bool read = GetTokenInformation(token.get(), TokenUser, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), &needed);
  return read &&
         IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, WinLocalSystemSid);
}

std::string below_root() {
  wchar_t drive[8] = {};
  const DWORD n = GetEnvironmentVariableW(L"SystemDrive", drive, 8);
  const std::wstring root = (n == 2 ? std::wstring(drive, 2) : std::wstring(L"C:")) + L"\\";
  return utf8_path(std::filesystem::path(root));
}

void set_folder_rights(const std::string& dir, Rights rights) {
  // Granted on the folder and handed down to all it holds, the parents'
  // entries cut off.
  std::wstring sddl = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
  if (rights == Rights::EveryoneChanges) sddl += L"(A;OICI;0x1301bf;;;WD)";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    throw std::runtime_error("bad access list");
  }
  const std::unique_ptr<void, LocalFree_> owned(sd);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(sd, &owner, &defaulted);
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  std::wstring path = wide(dir);
  DWORD error = SetNamedSecurityInfoW(
      path.data(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      owner, nullptr, dacl, nullptr);
  // Wine gives its one user every folder whatever the owner asked for.
  if (error != ERROR_SUCCESS && !real_windows()) {
    error = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr);
  }
  if (error != ERROR_SUCCESS) {
    throw std::runtime_error("cannot set the rights of " + dir + ": error " +
                             std::to_string(error));
  }
}

std::map<std::string, std::string> granted_rights(const std::string& sddl) {
  std::map<std::string, std::string> granted;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl).c_str(), SDDL_REVISION_1,
                                                            &sd, nullptr)) {
    ADD_FAILURE() << "not an access list: " << sddl;
    return granted;
  }
  const std::unique_ptr<void, LocalFree_> owned(sd);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) {
    return granted;
  }
  GENERIC_MAPPING files{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                        FILE_ALL_ACCESS};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    // Allowed and denied entries share their layout.
    const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(const_cast<DWORD*>(&entry->SidStart), &sid)) continue;
    const std::unique_ptr<void, LocalFree_> sid_owned(sid);
    std::string account = utf8_path(std::filesystem::path(sid));
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) account.insert(0, "denied ");
    if (header->AceFlags != 0) account += " flags " + std::to_string(header->AceFlags);
    ACCESS_MASK mask = entry->Mask;
    MapGenericMask(&mask, &files);
    // Named for the rights it holds whole; what is left, in hex.
    std::string names;
    ACCESS_MASK covered = 0;
    const std::pair<ACCESS_MASK, const char*> named[] = {
        {FILE_GENERIC_READ, "FR"}, {FILE_GENERIC_WRITE, "FW"}, {FILE_GENERIC_EXECUTE, "FX"}};
    if ((mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) {
      names = "FA";
      covered = FILE_ALL_ACCESS;
    } else {
      for (const auto& [right, text] : named) {
        if ((mask & right) != right) continue;
        names += names.empty() ? "" : "+";
        names += text;
        covered |= right;
      }
    }
    if ((mask & ~covered) != 0) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(mask & ~covered));
      names += names.empty() ? "" : "+";
      names += hex;
    }
    std::string& all = granted[account];
    all += all.empty() ? "" : ",";
    all += names;
  }
  return granted;
}

namespace {

bool make_junction(const std::string& link, const std::string& target) {
  wchar_t system[MAX_PATH] = {};
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  platform::SpawnOptions options;
  options.program = utf8_path(std::filesystem::path(system) / L"cmd.exe");
  options.args = {"/d", "/c", "mklink", "/J", link, target};
  options.std_in = platform::Stdio::Null;
  options.std_out = platform::Stdio::Null;
  options.std_err = platform::Stdio::Null;
  auto made = platform::spawn(options);
  if (!made) return false;
  const auto code = made->wait();
  return code && *code == 0 &&
         (GetFileAttributesW(wide(link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

FolderLink::FolderLink(std::string link, const std::string& target, Kind kind)
    : link_(std::move(link)) {
  if (!real_windows()) {
    made_ = kind == Kind::Symbolic &&
            run_host_program("/bin/ln", {"-s", host_path(target), host_path(link_)}) == 0;
  } else if (kind == Kind::Junction) {
    made_ = make_junction(link_, target);
  } else {
    made_ = CreateSymbolicLinkW(
                wide(link_).c_str(), wide(target).c_str(),
                SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
  }
}

FolderLink::~FolderLink() {
  if (!made_) return;
  if (!real_windows()) {
    (void)run_host_program("/bin/rm", {"-f", host_path(link_)});
  } else {
    RemoveDirectoryW(wide(link_).c_str());  // the link, not what it leads to
  }
}

HostFifo::HostFifo(std::string path) : path_(std::move(path)) {
  made_ = !real_windows() && run_host_program("/usr/bin/mkfifo", {host_path(path_)}) == 0;
}

HostFifo::~HostFifo() {
  if (made_) (void)run_host_program("/bin/rm", {"-f", host_path(path_)});
}

// The proxy core's account is the service's restricted token there.
void set_core_account(const std::string&) {}
void name_no_core_account() {}

}  // namespace ombrel::testsupport
