// Opening the files a client offers: the file itself, read only, and the
// judgement of every folder on the way to it. The service's own files are in
// files_win.cpp.
// clang-format off
#include <windows.h>
#include <winternl.h>
// clang-format on

#include <vector>

#include "base/text.hpp"
#include "platform/files/files.hpp"
#include "platform/files/files_win.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

Result<InputFile> InputFile::open(const std::string& path) {
  // SQOS anonymous: should the path lead to a named pipe, its server learns
  // nothing about the opener and cannot act as it.
  UniqueHandle h(CreateFileW(wide(path).c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
                             nullptr));
  if (!h) return fail(last_os_error());
  // Consoles, serial ports, NUL and pipes are not files on a disk.
  if (GetFileType(h.get()) != FILE_TYPE_DISK) return fail(os_error(ERROR_BAD_FILE_TYPE));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return fail(last_os_error());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(os_error(ERROR_DIRECTORY));
  }
  return InputFile(h.release());
}

namespace {

// What ntdll offers and mingw's headers leave out.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc_routine,
                                               PVOID apc_context, PIO_STATUS_BLOCK status,
                                               PVOID information, ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN single_entry, PUNICODE_STRING file_name,
                                               BOOLEAN restart_scan);

UNICODE_STRING counted(const std::wstring& text) {
  UNICODE_STRING out{};
  out.Buffer = const_cast<wchar_t*>(text.c_str());
  out.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  out.MaximumLength = out.Length;
  return out;
}

// The attributes `name` has in the listing of the folder `parent`. Wine
// follows a Unix symbolic link even when asked not to, but marks it as a
// reparse point in the listing.
DWORD listed_attributes(HANDLE parent, const std::wstring& name) {
  alignas(8) unsigned char buffer[sizeof(FILE_DIRECTORY_INFORMATION) + 2 * 32768];
  IO_STATUS_BLOCK io{};
  UNICODE_STRING pattern = counted(name);
  const NTSTATUS status =
      NtQueryDirectoryFile(parent, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                           FileDirectoryInformation, TRUE, &pattern, TRUE);
  if (!NT_SUCCESS(status)) return INVALID_FILE_ATTRIBUTES;
  return reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer)->FileAttributes;
}

// Opens `name` inside the folder `parent` holds, never through a link that
// stands there (a link is opened as itself). SQOS anonymous: a pipe server
// there learns nothing of the opener. A folder is held with listing access,
// which takes part in sharing, and without FILE_SHARE_DELETE: while it is
// held nobody can rename or remove it, and a folder with something in it
// cannot become a junction.
Result<UniqueHandle> open_below(HANDLE parent, const std::wstring& name, bool folder) {
  UNICODE_STRING object_name = counted(name);
  SECURITY_QUALITY_OF_SERVICE sqos{};
  sqos.Length = sizeof sqos;
  sqos.ImpersonationLevel = SecurityAnonymous;
  sqos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = parent;
  attributes.ObjectName = &object_name;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  attributes.SecurityQualityOfService = &sqos;
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  const NTSTATUS status = NtCreateFile(
      &h, (folder ? FILE_LIST_DIRECTORY : GENERIC_READ) | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
      folder ? FILE_SHARE_READ | FILE_SHARE_WRITE : SHARE_ALL, FILE_OPEN,
      FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | (folder ? FILE_DIRECTORY_FILE : 0),
      nullptr, 0);
  if (!NT_SUCCESS(status)) return fail(os_error(RtlNtStatusToDosError(status)));
  return UniqueHandle(h);
}

// What the system shows of an open component and of its entry in the
// listing of the folder above.
PathStep step_of(HANDLE h, DWORD listed) {
  PathStep step;
  BY_HANDLE_FILE_INFORMATION info{};
  step.reparse_point =
      !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (listed != INVALID_FILE_ATTRIBUTES && (listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
  FILE_REMOTE_PROTOCOL_INFO protocol{};
  protocol.StructureVersion = 1;
  protocol.StructureSize = sizeof protocol;
  step.remote =
      GetFileInformationByHandleEx(h, FileRemoteProtocolInfo, &protocol, sizeof protocol) != FALSE;
  std::vector<wchar_t> name(MAX_PATH);
  DWORD n =
      GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), VOLUME_NAME_NT);
  if (n >= name.size()) {
    name.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), VOLUME_NAME_NT);
  }
  if (n > 0 && n < name.size()) {
    step.device_path =
        utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(name.data()), n));
  }
  return step;
}

// The components of the full form of `path` below its drive ("C:"), or
// nothing for a path that names no drive.
bool split_drive_path(const std::wstring& path, std::wstring& drive,
                      std::vector<std::wstring>& parts) {
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return false;
  std::vector<wchar_t> full(n + 1);
  n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return false;
  std::wstring_view p(full.data(), n);
  if (p.starts_with(L"\\\\?\\")) p.remove_prefix(4);
  const auto letter = [](wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
  };
  if (p.size() < 3 || !letter(p[0]) || p[1] != L':' || !is_separator(p[2])) return false;
  drive = std::wstring(p.substr(0, 2));
  std::size_t i = 3;
  while (i < p.size()) {
    std::size_t end = i;
    while (end < p.size() && !is_separator(p[end])) ++end;
    if (end > i) parts.emplace_back(p.substr(i, end - i));
    i = end + 1;
  }
  return !parts.empty();
}

}  // namespace

Result<InputFile> InputFile::open_local(const std::string& path) {
  std::wstring drive;
  std::vector<std::wstring> parts;
  if (!split_drive_path(wide(path), drive, parts)) return fail(std::string(NOT_LOCAL));
  // The drive's root, by the long form; everything below it is opened from
  // the handle of the folder above, never by a path again, so that what
  // was judged is what the next open goes through.
  std::vector<UniqueHandle> held;
  held.emplace_back(CreateFileW((L"\\\\?\\" + drive + L"\\").c_str(),
                                FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!held.back()) return fail(last_os_error());
  std::vector<PathStep> steps;
  // Every folder on the way stays held until the file is open.
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const HANDLE parent = held.back().get();
    auto h = open_below(parent, parts[i], !last);
    if (!h) return fail(h.error());
    steps.push_back(step_of(h->get(), listed_attributes(parent, parts[i])));
    // Judged before the next component is opened, which goes through it.
    if (!is_local_path(steps)) return fail(std::string(NOT_LOCAL));
    held.push_back(std::move(*h));
  }
  const HANDLE file = held.back().get();
  if (GetFileType(file) != FILE_TYPE_DISK) return fail(os_error(ERROR_BAD_FILE_TYPE));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return fail(last_os_error());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(os_error(ERROR_DIRECTORY));
  }
  return InputFile(held.back().release());
}

InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

InputFile::~InputFile() {
  close();
}

bool InputFile::is_open() const {
  return handle_ != nullptr;
}

Result<std::uint64_t> InputFile::size() const {
  if (handle_ == nullptr) return fail(os_error(ERROR_INVALID_HANDLE));
  return handle_size(handle_);
}

Result<std::size_t> InputFile::read(std::span<char> buf) {
  if (handle_ == nullptr) return fail(os_error(ERROR_INVALID_HANDLE));
  const DWORD want = buf.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(buf.size());
  DWORD n = 0;
  const BoundedCall bounded;
  if (!ReadFile(handle_, buf.data(), want, &n, nullptr)) return fail(last_os_error());
  return static_cast<std::size_t>(n);
}

void InputFile::close() {
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
}

namespace {

bool is_drive_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool is_local_file_path(const std::string& path) {
  // A name the system takes for a device (NUL, COM1) has no drive in its
  // full form.
  std::wstring drive;
  std::vector<std::wstring> parts;
  if (!split_drive_path(wide(path), drive, parts)) return false;
  std::string_view p = path;
  if (p.size() >= 4 && p[0] == '\\' && p[1] == '?' && p[2] == '?' && p[3] == '\\') return false;
  if (p.size() >= 2 && is_separator(p[0]) && is_separator(p[1])) {
    // Only the long-path form of a drive path, "\\?\C:\...", is a plain file path.
    if (!(p.size() >= 7 && p[2] == '?' && p[3] == '\\' && is_drive_letter(p[4]) && p[5] == ':' &&
          is_separator(p[6]))) {
      return false;
    }
    p.remove_prefix(4);
  }
  if (p.size() >= 2 && is_drive_letter(p[0]) && p[1] == ':') {
    const wchar_t root[] = {static_cast<wchar_t>(p[0]), L':', L'\\', L'\0'};
    if (GetDriveTypeW(root) == DRIVE_REMOTE) return false;
  }
  return true;
}

}  // namespace ombrel::platform
