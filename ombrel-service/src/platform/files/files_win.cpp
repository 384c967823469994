#include <windows.h>

#include <vector>

#include "base/text.hpp"
#include "platform/files.hpp"
#include "platform/handle_win.hpp"
#include "platform/io_bound.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

namespace {

std::wstring wide(std::string_view utf8) {
  const std::u16string u16 = utf8_to_utf16(utf8);
  return std::wstring(u16.begin(), u16.end());
}

// Closes a handle when dropped.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  Result<void> close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(h)) return fail(last_os_error());
    return {};
  }

 private:
  HANDLE h_;
};

// Other handles may read, write, truncate, rename or delete the file while
// we hold it: logs are rotated and truncated by the next core run.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// With `at_end`, each write goes to the end of the file as it is at that
// moment (offset 0xFFFFFFFF:0xFFFFFFFF), like O_APPEND.
Result<void> write_handle(HANDLE h, std::string_view bytes, bool at_end) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    OVERLAPPED end{};
    end.Offset = 0xFFFFFFFF;
    end.OffsetHigh = 0xFFFFFFFF;
    const BoundedCall bounded;
    if (!WriteFile(h, bytes.data(), chunk, &written, at_end ? &end : nullptr)) {
      return fail(last_os_error());
    }
    if (written == 0) return fail(os_error(ERROR_WRITE_FAULT));
    bytes.remove_prefix(written);
  }
  return {};
}

Result<std::uint64_t> handle_size(HANDLE h) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) return fail(last_os_error());
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// Length of the part of a path that cannot be created: "C:", "\\server\share",
// "\\?\C:".
std::size_t root_length(const std::wstring& p) {
  if (p.size() >= 2 && is_separator(p[0]) && is_separator(p[1])) {
    std::size_t i = 2;
    for (int parts = 0; parts < 2; ++parts) {
      while (i < p.size() && !is_separator(p[i])) ++i;
      if (parts == 0 && i < p.size()) ++i;
    }
    return i;
  }
  if (p.size() >= 2 && p[1] == L':') return 2;
  return 0;
}

bool is_directory(const std::wstring& p) {
  const DWORD attrs = GetFileAttributesW(p.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Opens a file for writing without following a link or junction that
// stands at its name: the link itself is opened, seen for what it is and
// refused, as is a file with a second name elsewhere. A write meant for the
// service's own folder thus never lands outside it. Only then is the file
// emptied, when `truncate` asks for it.
Result<HANDLE> open_for_writing(const std::wstring& path, DWORD share, bool truncate) {
  const BoundedCall bounded;
  UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) return fail(last_os_error());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return fail(last_os_error());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1 ||
      GetFileType(h.get()) != FILE_TYPE_DISK) {
    return fail(os_error(ERROR_CANT_ACCESS_FILE));
  }
  if (truncate) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h.get(), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h.get())) {
      return fail(last_os_error());
    }
  }
  return h.release();
}

Result<void> write_new_file(const std::wstring& path, std::string_view bytes) {
  auto opened = open_for_writing(path, 0, true);
  if (!opened) return fail(opened.error());
  Handle h(*opened);
  OMBREL_TRY(write_handle(h.get(), bytes, false));
  if (!FlushFileBuffers(h.get())) return fail(last_os_error());
  return h.close();
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  Handle h(CreateFileW(wide(path).c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return fail(last_os_error());
  std::string out;
  if (auto size = handle_size(h.get()); size && *size > 0) {
    out.reserve(static_cast<std::size_t>(*size));
  }
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return fail(last_os_error());
    if (n == 0) break;
    out.append(buf, n);
  }
  return out;
}

Result<void> replace_file_atomically(const std::string& path, const std::string& temp_path,
                                     std::string_view bytes) {
  const std::wstring temp = wide(temp_path);
  if (auto written = write_new_file(temp, bytes); !written) {
    DeleteFileW(temp.c_str());
    return written;
  }
  // WRITE_THROUGH: the call returns only once the move is on the disk.
  if (!MoveFileExW(temp.c_str(), wide(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail(last_os_error());
  }
  return {};
}

Result<void> rewrite_file(const std::string& path, std::string_view bytes) {
  auto file = File::create(path);
  if (!file) return fail(file.error());
  return file->write_all(bytes);
}

Result<void> append_file(const std::string& path, std::string_view bytes) {
  auto file = File::open_append(path);
  if (!file) return fail(file.error());
  OMBREL_TRY(file->write_all(bytes));
  return {};
}

Result<std::uint64_t> file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) {
    return fail(last_os_error());
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool path_exists(const std::string& path) {
  return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Result<void> remove_file(const std::string& path) {
  if (!DeleteFileW(wide(path).c_str())) return fail(last_os_error());
  return {};
}

Result<void> rename_file(const std::string& from, const std::string& to) {
  if (!MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return fail(last_os_error());
  }
  return {};
}

Result<void> link_file(const std::string& existing, const std::string& link) {
  if (!CreateHardLinkW(wide(link).c_str(), wide(existing).c_str(), nullptr)) {
    return fail(last_os_error());
  }
  return {};
}

Result<void> create_directories(const std::string& path) {
  if (path.empty()) return fail(os_error(ERROR_PATH_NOT_FOUND));
  const std::wstring p = wide(path);
  const std::size_t root = root_length(p);
  for (std::size_t i = root + 1; i <= p.size(); ++i) {
    if (i != p.size() && !is_separator(p[i])) continue;
    if (is_separator(p[i - 1])) continue;
    const std::wstring prefix = p.substr(0, i);
    if (is_directory(prefix)) continue;
    if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return fail(last_os_error());
    }
  }
  if (!is_directory(p)) return fail(os_error(ERROR_DIRECTORY));
  return {};
}

Result<File> File::create(const std::string& path) {
  auto h = open_for_writing(wide(path), SHARE_ALL, true);
  if (!h) return fail(h.error());
  return File(*h);
}

Result<File> File::open_append(const std::string& path) {
  auto h = open_for_writing(wide(path), SHARE_ALL, false);
  if (!h) return fail(h.error());
  return File(*h);
}

File::File(File&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

File::~File() {
  close();
}

bool File::is_open() const {
  return handle_ != nullptr;
}

Result<std::uint64_t> File::size() const {
  if (handle_ == nullptr) return fail(os_error(ERROR_INVALID_HANDLE));
  return handle_size(handle_);
}

Result<void> File::write_all(std::string_view bytes) {
  if (handle_ == nullptr) return fail(os_error(ERROR_INVALID_HANDLE));
  return write_handle(handle_, bytes, true);
}

Result<void> File::sync() {
  if (handle_ == nullptr) return fail(os_error(ERROR_INVALID_HANDLE));
  const BoundedCall bounded;
  if (!FlushFileBuffers(handle_)) return fail(last_os_error());
  return {};
}

void File::close() {
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
}

// ---- InputFile and friends ----

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

Result<std::size_t> InputFile::read_full(std::span<char> buf) {
  std::size_t filled = 0;
  while (filled < buf.size()) {
    auto n = read(buf.subspan(filled));
    if (!n) return fail(n.error());
    if (*n == 0) break;
    filled += *n;
  }
  return filled;
}

void InputFile::close() {
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
}

namespace {

bool is_drive_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_sep(char c) {
  return c == '\\' || c == '/';
}

}  // namespace

bool is_local_file_path(const std::string& path) {
  std::string_view p = path;
  if (p.size() >= 4 && p[0] == '\\' && p[1] == '?' && p[2] == '?' && p[3] == '\\') return false;
  if (p.size() >= 2 && is_sep(p[0]) && is_sep(p[1])) {
    // Only the long-path form of a drive path, "\\?\C:\...", is a plain file path.
    if (!(p.size() >= 7 && p[2] == '?' && p[3] == '\\' && is_drive_letter(p[4]) && p[5] == ':' &&
          is_sep(p[6]))) {
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

namespace {

// FILETIME counts 100-nanosecond steps since 1601-01-01 UTC.
constexpr std::int64_t EPOCH_DIFFERENCE_MS = 11644473600000;

}  // namespace

Result<std::int64_t> last_write_ms(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) {
    return fail(last_os_error());
  }
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000) - EPOCH_DIFFERENCE_MS;
}

Result<void> set_last_write_ms(const std::string& path, std::int64_t ms) {
  if (ms < -EPOCH_DIFFERENCE_MS) return fail(os_error(ERROR_INVALID_PARAMETER));
  const std::uint64_t ticks = static_cast<std::uint64_t>(ms + EPOCH_DIFFERENCE_MS) * 10000;
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  Handle h(CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return fail(last_os_error());
  if (!SetFileTime(h.get(), nullptr, nullptr, &time)) return fail(last_os_error());
  return h.close();
}

Result<void> make_executable(const std::string& path) {
  (void)path;
  return {};
}

}  // namespace ombrel::platform
