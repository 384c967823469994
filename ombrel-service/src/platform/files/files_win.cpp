// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <vector>

#include "base/text.hpp"
#include "platform/files/files.hpp"
#include "platform/files/files_win.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

namespace {

// Closes `h`, telling whether the system could: for a file written through
// it, the last chance to hear of a write that failed.
Result<void> close_checked(UniqueHandle& h) {
  if (!CloseHandle(h.release())) return fail(last_os_error());
  return {};
}

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
  UniqueHandle h(*opened);
  OMBREL_TRY(write_handle(h.get(), bytes, false));
  if (!FlushFileBuffers(h.get())) return fail(last_os_error());
  return close_checked(h);
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  UniqueHandle h(CreateFileW(wide(path).c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return fail(last_os_error());
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

bool is_folder(const std::string& path) {
  return is_directory(wide(path));
}

Result<std::vector<std::string>> folder_entries(const std::string& path) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW(wide(path + "\\*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return fail(last_os_error());
  // A search is ended with its own call, not CloseHandle.
  struct EndSearch {
    HANDLE h;
    ~EndSearch() { FindClose(h); }
  } end{search};
  std::vector<std::string> names;
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(narrow(name));
  } while (FindNextFileW(search, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) return fail(last_os_error());
  return names;
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

// A running program's name cannot be taken over, second name or not.
Result<void> keep_second_name(const std::string&, const std::string&) {
  return fail(os_error(ERROR_NOT_SUPPORTED));
}

Result<void> create_directories(const std::string& path) {
  if (path.empty()) return fail(os_error(ERROR_PATH_NOT_FOUND));
  const std::wstring p = wide(path);
  const std::size_t root = root_length(std::wstring_view(p));
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

Result<File> File::create_private(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)",
                                                            SDDL_REVISION_1, &sd, nullptr)) {
    return fail(last_os_error());
  }
  const LocalMemory owned(sd);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  const BoundedCall bounded;
  const HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, SHARE_ALL, &sa, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(last_os_error());
  return File(h);
}

Result<void> take_folder_access(const std::string& path) {
  // An empty list that is not protected: what remains is what the folder
  // passes on.
  ACL empty{};
  if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return fail(last_os_error());
  std::wstring name = wide(path);
  const BoundedCall bounded;
  const DWORD err =
      SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &empty, nullptr);
  if (err != ERROR_SUCCESS) return fail(os_error(err));
  return {};
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
  UniqueHandle h(CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES, SHARE_ALL, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return fail(last_os_error());
  if (!SetFileTime(h.get(), nullptr, nullptr, &time)) return fail(last_os_error());
  return close_checked(h);
}

Result<void> make_executable(const std::string& path) {
  (void)path;
  return {};
}

}  // namespace ombrel::platform
