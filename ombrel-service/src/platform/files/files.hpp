#pragma once
// Files by UTF-8 path. Windows paths are converted to UTF-16 inside; nothing
// here goes through std::filesystem, whose mingw build differs from the
// Linux one in exactly the corners (replace, sharing) that matter here.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace ombrel::platform {

// The whole content of a file.
Result<std::string> read_file(const std::string& path);

// Puts `bytes` at `path` so that a crash or power loss at any moment leaves
// either the old file or the new one, never a torn or empty file: the bytes
// go to `temp_path` (created or truncated), are flushed to the disk, and the
// flushed file is then moved over `path`. If writing the temporary file fails,
// `path` is not touched and the temporary file is removed.
Result<void> replace_file_atomically(const std::string& path, const std::string& temp_path,
                                     std::string_view bytes);

// Gives the file at `path` exactly `bytes`, creating it if missing, with the
// same guards as `File::create` (no link followed, no hard-linked file). Not
// atomic: for a file that is read only after it is written, such as a
// document handed to a program about to start. Linux: an existing file is
// written over in place and then cut to the new length, never emptied first,
// because emptying a file with content makes ext4 write it out at close and
// the next emptying wait for that write, milliseconds each time.
Result<void> rewrite_file(const std::string& path, std::string_view bytes);

// Appends `bytes` to the end of a file, creating it if missing.
Result<void> append_file(const std::string& path, std::string_view bytes);

Result<std::uint64_t> file_size(const std::string& path);
// True when something (file or folder) exists at `path`.
bool path_exists(const std::string& path);
// A name nothing has yet, for a file or folder moved aside: `before`, the
// time in milliseconds and `after`, with "-2", "-3"... before `after` while
// that is taken.
std::string unused_name(const std::string& before, std::string_view after = {});
// The name a file is renamed to before it is deleted, so that its own name
// is free at once even while a handle keeps it (a deleted file keeps its
// name until the last handle goes): "{path}.{ms}.gone", unused.
std::string gone_name(const std::string& path);
// Whether the folder entry `entry` is a `gone_name` made for the entry
// `name` beside it (for any, when empty); those a holder kept are removed
// at a later start.
bool is_gone_name(std::string_view entry, std::string_view name = {});
// The entry a `gone_name` entry was made for ("tunnel.json" for
// "tunnel.json.1733750000000.gone"); empty for any other entry.
std::string_view gone_name_origin(std::string_view entry);
// True when a folder exists at `path` (a link to one counts on Linux).
bool is_folder(const std::string& path);
Result<void> remove_file(const std::string& path);
// The names of what the folder at `path` holds, but "." and "..", in no
// particular order.
Result<std::vector<std::string>> folder_entries(const std::string& path);
// Renames `from` to `to`, replacing an existing file at `to`.
Result<void> rename_file(const std::string& from, const std::string& to);
// Gives the file at `existing` a second name, `link` (a hard link, in the
// same file system); fails when `link` exists.
Result<void> link_file(const std::string& existing, const std::string& link);
// Gives the file at `path` the second name `backup` before another file is
// renamed over `path`, so that `path` names a whole program all along: where
// a running program's name may be taken over (Linux), `link_file`; Windows
// refuses that rename for a running program, so this fails there, and the
// caller moves the file aside instead.
Result<void> keep_second_name(const std::string& path, const std::string& backup);
// Creates the folder and all missing parents; an existing folder is success.
Result<void> create_directories(const std::string& path);

// A file opened for writing, closed when dropped. Every write lands at the
// current end of the file, even when another handle has truncated or grown it
// meanwhile (a new core run truncating the log an old run still writes to).
class File {
 public:
  // Creates the file or truncates an existing one.
  static Result<File> create(const std::string& path);
  // Opens the file keeping its content, creating it if missing.
  static Result<File> open_append(const std::string& path);
  // Creates a new file, failing when anything stands at `path`, that only
  // the system and the administrators may open (Windows: a protected list
  // granting them alone; Linux: mode 0600), so that nobody else can hold it
  // (an oplock, a handle that refuses deleting) while the service works on
  // it. `take_folder_access` opens it up once it is in place.
  static Result<File> create_private(const std::string& path);

  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool is_open() const;
  // The current size of the open file.
  Result<std::uint64_t> size() const;
  Result<void> write_all(std::string_view bytes);
  // Flushes written data to the disk.
  Result<void> sync();
  void close();

 private:
#ifdef _WIN32
  explicit File(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
#else
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
#endif
};

// ---- Reading offered files, file times, modes -------------------------------

// A file opened for reading only, closed when dropped. Only an ordinary file
// on a disk is accepted; a folder, device, pipe or socket is refused. Linux:
// the kind is checked before the file is opened for reading, so no device
// driver sees an open and a FIFO without writer never blocks. Windows: the
// kind is checked right after the open, and the open never lets a pipe
// server at the path act under the opener's identity. Other processes may
// keep reading, writing and deleting the file meanwhile.
class InputFile {
 public:
  static Result<InputFile> open(const std::string& path);
  // `open` for a path given by someone else, which must stay on this
  // computer: every component is opened in turn from the handle of the
  // folder above it (never by the path again) without following a link,
  // and each folder is held until the next one is open, so that what was
  // judged is what the next open goes through (Windows: held without
  // letting it be renamed or deleted). A component that is a symbolic
  // link, junction or mount point, or (Windows) a file on a network share
  // or a redirected drive, fails with NOT_LOCAL as its outermost message
  // (`is_local_path` judges what the system shows).
  static Result<InputFile> open_local(const std::string& path);

  InputFile() = default;
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  bool is_open() const;
  // The size the file's metadata gives now.
  Result<std::uint64_t> size() const;
  // Up to `buf.size()` bytes from the current position; 0 only at the end.
  Result<std::size_t> read(std::span<char> buf);
  // Fills `buf` as far as the file goes: fewer bytes only at its end.
  Result<std::size_t> read_full(std::span<char> buf);
  void close();
#ifdef _WIN32
  // For the platform layer's own checks on the open file.
  void* native_handle() const {
    return handle_;
  }
#else
  // For the platform layer: takes over a descriptor open for reading.
  static InputFile adopt(int fd) {
    return InputFile(fd);
  }
  // For the platform layer's own checks on the open file.
  int native_fd() const {
    return fd_;
  }
#endif

 private:
#ifdef _WIN32
  explicit InputFile(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
#else
  explicit InputFile(int fd) : fd_(fd) {}
  int fd_ = -1;
#endif
};

// The outermost message of `InputFile::open_local` for a path that leads
// through a link or off this computer.
inline constexpr std::string_view NOT_LOCAL = "не локальный файл";

// What the system showed of one component of a path, opened without
// following links.
struct PathStep {
  bool reparse_point = false;  // a symbolic link, junction or mount point
  bool remote = false;         // the system names a network protocol for it
  std::string device_path;     // the handle's path in the device namespace
};

// Whether the components so far (from the first below the volume root)
// lead, through no link, to a disk of this computer: none is a reparse
// point or remote, and each lies on a local disk device
// (`is_local_device_path`).
bool is_local_path(std::span<const PathStep> steps);

// Whether a device path ("\Device\HarddiskVolume3\dir\x.exe") names a
// disk of this computer: a hard disk volume, a CD or a floppy. Network
// shares ("\Device\Mup\..."), redirectors and every other device are not.
bool is_local_device_path(std::string_view device_path);

// Whether opening `path` stays on this computer. Windows: false for UNC
// paths ("\\server\share\..."), device and object-manager paths ("\\.\...",
// "\\?\" not followed by a drive letter, "\??\...", a device name such
// as "NUL" whose full form names no drive) and drive letters that name a
// network drive. Opening such a path as the system account would
// authenticate the computer to whatever answers there, or open a device.
// Linux: always true.
bool is_local_file_path(const std::string& path);

// The last-write time in milliseconds since 1970-01-01 UTC.
Result<std::int64_t> last_write_ms(const std::string& path);
Result<void> set_last_write_ms(const std::string& path, std::int64_t ms);

// Linux: read and run permission for everyone, write for the owner (0755).
// Windows: nothing to do (the folder's access list decides).
Result<void> make_executable(const std::string& path);

// Gives a file made by `File::create_private` the access its folder gives
// what is made there. Windows: the list inherited from the folder takes the
// place of its own (a rename keeps a file's list). Linux: as
// `make_executable`.
Result<void> take_folder_access(const std::string& path);

}  // namespace ombrel::platform
