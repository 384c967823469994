// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "base/text.hpp"
#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/files_win.hpp"
#include "platform/files/paths.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/token_win.hpp"

namespace ombrel::platform {

namespace {

// Rights that let a holder change the folder, add to it, or change what is
// in it (through inheritance, the files the service makes there).
constexpr ACCESS_MASK CHANGING_RIGHTS = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                        DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                        GENERIC_ALL | MAXIMUM_ALLOWED;

Result<LocalMemory> descriptor_from_sddl(std::string_view sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl).c_str(), SDDL_REVISION_1,
                                                            &sd, nullptr)) {
    return fail(last_os_error());
  }
  return LocalMemory(sd);
}

Result<std::string> sddl_of(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts) {
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, parts, &text,
                                                            nullptr)) {
    return fail(last_os_error());
  }
  const LocalMemory owned(text);
  return narrow(text);
}

bool is_trusted(PSID sid, PSID own, bool as_creator) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  // CREATOR OWNER only ever stands for whoever makes a file there, and only
  // the trusted may make one.
  if (as_creator && IsWellKnownSid(sid, WinCreatorOwnerSid)) return true;
  return own != nullptr && EqualSid(sid, own);
}

bool is_private(PSECURITY_DESCRIPTOR sd, PSID own) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !is_trusted(owner, own, false)) {
    return false;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  // No access list at all lets everybody do everything.
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    return false;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & CHANGING_RIGHTS) != 0 && !is_trusted(sid, own, true)) return false;
        break;
      }
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        // Denials only take rights away.
        break;
      default:
        // Object and compound entries have no business on a plain folder.
        return false;
    }
  }
  return true;
}

struct DirSecurity {
  LocalMemory descriptor;  // owner and access list
};

Result<DirSecurity> read_security(HANDLE dir) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD err =
      GetSecurityInfo(dir, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr, &sd);
  if (err != ERROR_SUCCESS) return fail(os_error(err));
  return DirSecurity{LocalMemory(sd)};
}

// "D:PAI(...)" and "D:P(...)" alike: protected, and the entries after the flags.
struct AclText {
  bool is_protected = false;
  std::string entries;
};

AclText split_acl(std::string_view sddl) {
  AclText out;
  const auto d = sddl.find("D:");
  if (d == std::string_view::npos) return out;
  std::string_view rest = sddl.substr(d + 2);
  const auto open = rest.find('(');
  const std::string_view flags = rest.substr(0, open);
  out.is_protected = flags.find('P') != std::string_view::npos;
  if (open != std::string_view::npos) out.entries = std::string(rest.substr(open));
  return out;
}

Result<bool> acl_as_intended(PSECURITY_DESCRIPTOR sd) {
  // Never destroyed: a registry that is a static made before it (a program
  // that ends by running destructors, as the service does not) saves its
  // last marks at exit and comes here.
  static const auto* const intended = new Result<std::string>([]() -> Result<std::string> {
    auto d = descriptor_from_sddl(PRIVATE_DIR_SDDL);
    if (!d) return fail(d.error());
    return sddl_of(d->get(), DACL_SECURITY_INFORMATION);
  }());
  if (!*intended) return fail(intended->error());
  auto actual = sddl_of(sd, DACL_SECURITY_INFORMATION);
  if (!actual) return fail(actual.error());
  const AclText want = split_acl(**intended);
  const AclText have = split_acl(*actual);
  return have.is_protected && have.entries == want.entries;
}

Result<void> set_intended_acl(HANDLE dir) {
  auto sd = descriptor_from_sddl(PRIVATE_DIR_SDDL);
  if (!sd) return fail(sd.error());
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd->get(), &present, &dacl, &defaulted)) {
    return fail(last_os_error());
  }
  const DWORD err = SetSecurityInfo(dir, SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr);
  if (err != ERROR_SUCCESS) return fail(os_error(err));
  return {};
}

// A link, a junction, a file with a second name elsewhere or one owned by
// anybody else would carry a write of the service out of the folder or hand
// it somebody's content. Sub-folders are never written to and are not
// looked into. The files are named in `files`, should they have to be made
// anew.
Result<bool> holds_links(const std::wstring& dir, PSID own, std::vector<std::string>& files) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return false;
    // A folder that hides its content from the system account is nobody's
    // to trust.
    if (err == ERROR_ACCESS_DENIED) return true;
    return fail(os_error(err));
  }
  struct Close {
    HANDLE h;
    ~Close() { FindClose(h); }
  } close{search};
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    UniqueHandle file(CreateFileW((dir + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) continue;  // gone meanwhile, or held without sharing: not a way out
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) return fail(last_os_error());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1) {
      return true;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &sd) != ERROR_SUCCESS) {
      return true;
    }
    const LocalMemory owned(sd);
    if (!is_trusted(owner, own, false)) return true;
    files.push_back(narrow(name.c_str()));
  } while (FindNextFileW(search, &found));
  return false;
}

enum class Verdict { Missing, Fit, Unfit };

// The folder at `path` itself, never what a link there leads to.
HANDLE open_folder(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

struct Inspection {
  Verdict verdict = Verdict::Missing;
  bool acl_ok = false;
  std::vector<std::string> files;
};

Result<Inspection> inspect(const std::wstring& path, PSID own) {
  Inspection out;
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return out;
    return fail(os_error(err));
  }
  out.verdict = Verdict::Unfit;
  if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return out;
  }
  // The folder itself, not whatever a link put there meanwhile leads to.
  UniqueHandle dir(open_folder(path, READ_CONTROL));
  if (!dir) {
    // Its owner may have shut the system account out; it is moved aside
    // all the same, by the right to delete in the folder above.
    if (GetLastError() == ERROR_ACCESS_DENIED) return out;
    return fail(last_os_error());
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(dir.get(), &info)) return fail(last_os_error());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return out;
  auto security = read_security(dir.get());
  if (!security) return fail(security.error());
  if (!is_private(security->descriptor.get(), own)) return out;
  auto links = holds_links(path, own, out.files);
  if (!links) return fail(links.error());
  if (*links) return out;
  auto acl_ok = acl_as_intended(security->descriptor.get());
  if (!acl_ok) return fail(acl_ok.error());
  out.acl_ok = *acl_ok;
  out.verdict = Verdict::Fit;
  return out;
}

// The system's error code; ERROR_SUCCESS once the folder is made.
DWORD create_private(const std::wstring& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(PRIVATE_DIR_SDDL).c_str(),
                                                            SDDL_REVISION_1, &sd, nullptr)) {
    return GetLastError();
  }
  const LocalMemory owned(sd);
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = sd;
  return CreateDirectoryW(path.c_str(), &sa) ? ERROR_SUCCESS : GetLastError();
}

std::mutex& ensure_lock() {
  static std::mutex lock;
  return lock;
}

// FILE_RENAME_INFO as winbase.h lays it out from Windows 10 1607 on, its
// first member the union of ReplaceIfExists and Flags, with the class and
// flags of SetFileInformationByHandle for it: mingw declares them only for
// _WIN32_WINNT >= 0x0A000002, and the service is built for 0x0A00.
struct RenameInfoEx {
  DWORD flags;
  HANDLE root_directory;
  DWORD file_name_length;  // in bytes, without the terminating null
  WCHAR file_name[1];
};
static_assert(offsetof(RenameInfoEx, root_directory) == offsetof(FILE_RENAME_INFO, RootDirectory));
static_assert(offsetof(RenameInfoEx, file_name) == offsetof(FILE_RENAME_INFO, FileName));
constexpr auto FILE_RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD RENAME_REPLACE_IF_EXISTS = 0x1;
constexpr DWORD RENAME_POSIX_SEMANTICS = 0x2;

// Documented (FILE_RENAME_INFORMATION, FILE_RENAME_POSIX_SEMANTICS): with
// REPLACE_IF_EXISTS, the file at `target` is replaced even while handles
// to it are open, and those handles go on reading the replaced file; a
// later open of the name opens the new one. The replaced file is deleted
// by the rename, so a handle that does not share deleting refuses it.
// `source` must be open with DELETE access.
bool rename_with_posix_semantics(HANDLE source, const std::wstring& target) {
  const std::size_t name_bytes = target.size() * sizeof(wchar_t);
  std::vector<std::byte> buffer(offsetof(RenameInfoEx, file_name) + name_bytes + sizeof(wchar_t));
  auto* info = reinterpret_cast<RenameInfoEx*>(buffer.data());
  info->flags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
  info->root_directory = nullptr;
  info->file_name_length = static_cast<DWORD>(name_bytes);
  std::copy(target.begin(), target.end(), info->file_name);
  return SetFileInformationByHandle(source, FILE_RENAME_INFO_EX, info,
                                    static_cast<DWORD>(buffer.size())) != FALSE;
}

Result<void> write_whole(const std::string& path, std::string_view content) {
  auto file = File::create(path);
  if (!file) return fail(file.error());
  OMBREL_TRY(file->write_all(content));
  OMBREL_TRY(file->sync());
  file->close();
  return {};
}

}  // namespace

// A held file's name cannot be taken over under the classic rename rules
// (MS-FSCC, FileRenameInformation: STATUS_ACCESS_DENIED when the target is
// open and ReplaceIfExists is set), so a plain replace would leave the
// holder reading on.
Result<void> renew_file(const std::string& path, std::string_view content) {
  const std::string temp = path + ".renew";
  const std::wstring wtemp = wide(temp);
  const std::wstring wpath = wide(path);
  if (auto written = write_whole(temp, content); !written) {
    DeleteFileW(wtemp.c_str());
    return written;
  }
  {
    UniqueHandle source(CreateFileW(wtemp.c_str(), DELETE | SYNCHRONIZE, SHARE_ALL, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (source && rename_with_posix_semantics(source.get(), wpath)) return {};
  }
  // A file system without POSIX renames (FAT, an older Windows): the held
  // file goes aside first, which frees its name, and the new one moves in.
  const std::string aside = gone_name(path);
  const std::wstring waside = wide(aside);
  if (!MoveFileExW(wpath.c_str(), waside.c_str(), 0)) {
    const Error error = last_os_error();
    DeleteFileW(wtemp.c_str());
    return fail(error);
  }
  if (!MoveFileExW(wtemp.c_str(), wpath.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const Error error = last_os_error();
    // Should the held file not go back either, it stays aside, and the next
    // start makes the file again from it (ensure_private_data_dir).
    MoveFileExW(waside.c_str(), wpath.c_str(), 0);
    DeleteFileW(wtemp.c_str());
    return fail(error);
  }
  // The holder shares deleting, or the rename aside would have failed: the
  // copy goes with its last handle. Else the next start removes it.
  DeleteFileW(waside.c_str());
  return {};
}

Result<void> ensure_private_dir(const std::string& path) {
  const std::lock_guard guard(ensure_lock());
  auto own = own_user_sid();
  if (!own) return fail(own.error());
  const PSID own_sid = own->data();
  const std::wstring wpath = wide(path);
  if (const std::string parent = parent_path(path); !parent.empty()) {
    (void)create_directories(parent);
  }
  // A second round only when somebody made the folder between our look and
  // our create.
  for (int round = 0; round < 3; ++round) {
    auto seen = inspect(wpath, own_sid);
    if (!seen) return fail(seen.error());
    switch (seen->verdict) {
      case Verdict::Fit: {
        if (seen->acl_ok) return {};
        UniqueHandle dir(open_folder(wpath, READ_CONTROL | WRITE_DAC));
        if (!dir) return fail(last_os_error());
        OMBREL_TRY(set_intended_acl(dir.get()));
        // Handles taken while others could read keep reading: the files are
        // made anew, once the list holds (Wine keeps none, and a renewal at
        // every look would only lose the logs the service has open).
        auto security = read_security(dir.get());
        if (!security) return fail(security.error());
        if (acl_as_intended(security->descriptor.get()).value_or(false)) {
          renew_files(path, seen->files);
        }
        return {};
      }
      case Verdict::Unfit: {
        const std::string aside = unused_name(path + ".moved-");
        // Renames the entry itself; a junction is moved, not followed.
        if (!MoveFileExW(wpath.c_str(), wide(aside).c_str(), 0)) {
          return fail(last_os_error().wrapped("не отодвинуть " + path));
        }
        [[fallthrough]];
      }
      case Verdict::Missing:
        if (const DWORD err = create_private(wpath); err != ERROR_SUCCESS) {
          if (err == ERROR_ALREADY_EXISTS) continue;
          return fail(os_error(err).wrapped("не создать " + path));
        }
        return {};
    }
  }
  return fail(os_error(ERROR_ALREADY_EXISTS).wrapped("не создать " + path));
}

Result<bool> is_private_security(std::string_view sddl) {
  auto own = own_user_sid();
  if (!own) return fail(own.error());
  auto sd = descriptor_from_sddl(sddl);
  if (!sd) return fail(sd.error());
  return is_private(sd->get(), own->data());
}

namespace {

// The owner and access list of the folder at `path`, read through a handle.
Result<DirSecurity> folder_security(const std::string& path) {
  UniqueHandle dir(CreateFileW(wide(path).c_str(), READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!dir) return fail(last_os_error());
  return read_security(dir.get());
}

}  // namespace

Result<std::string> folder_security_sddl(const std::string& path) {
  auto security = folder_security(path);
  if (!security) return fail(security.error());
  return sddl_of(security->descriptor.get(),
                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
}

Result<bool> has_private_access_list(const std::string& path) {
  auto security = folder_security(path);
  if (!security) return fail(security.error());
  return acl_as_intended(security->descriptor.get());
}

}  // namespace ombrel::platform
