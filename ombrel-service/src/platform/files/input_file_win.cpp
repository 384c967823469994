// Opening the files a client offers: the file itself, read only, and the
// judgement of every folder on the way to it. The service's own files are in
// files_win.cpp.
#include <windows.h>

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

// What the system shows of an open component. A handle opened without
// following a link shows the link itself on Windows; Wine follows a Unix
// symbolic link all the same but marks it in the folder's listing, which
// is why the path's own attributes are asked too.
PathStep step_of(HANDLE h, const std::wstring& path) {
  PathStep step;
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD listed = GetFileAttributesW(path.c_str());
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
  // The long form: no component is cut short, none is taken for a device.
  std::wstring current = L"\\\\?\\" + drive;
  std::vector<PathStep> steps;
  // Every folder on the way stays held until the file is open.
  std::vector<UniqueHandle> held;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    current += L"\\" + parts[i];
    const bool last = i + 1 == parts.size();
    // A folder is held with listing access, which takes part in sharing,
    // and without FILE_SHARE_DELETE: while it is held nobody can rename or
    // remove it, and a folder with something in it cannot become a junction.
    // The file itself is opened as `open` does, but without following a link.
    // SQOS anonymous: a pipe server at the path learns nothing of the opener.
    UniqueHandle h(CreateFileW(
        current.c_str(), last ? GENERIC_READ : FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
        last ? SHARE_ALL : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | (last ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_BACKUP_SEMANTICS) |
            SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
        nullptr));
    if (!h) return fail(last_os_error());
    steps.push_back(step_of(h.get(), current));
    // Checked before the next component is opened, which would go through it.
    if (!is_local_path(steps)) return fail(std::string(NOT_LOCAL));
    held.push_back(std::move(h));
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
