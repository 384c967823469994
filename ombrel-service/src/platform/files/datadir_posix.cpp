#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

namespace {

constexpr mode_t PRIVATE_DIR_MODE = 0700;

// A symbolic link, a file with a second name elsewhere, or one of another
// user would carry a write of the service out of the folder or hand it
// somebody's content. Sub-folders are never written to and are not looked
// into. Files that others may read (made by an earlier version) are named
// in `readable`, to be made anew.
Result<bool> holds_links(const std::string& path, std::vector<std::string>& readable) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return fail(last_os_error());
  struct Close {
    DIR* d;
    ~Close() { ::closedir(d); }
  } close{dir};
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(st.st_mode)) return true;
    if (!S_ISREG(st.st_mode)) continue;
    if (st.st_nlink > 1 || (st.st_uid != 0 && st.st_uid != ::geteuid())) return true;
    if ((st.st_mode & 077) != 0) readable.push_back(name);
  }
  return false;
}

enum class Verdict { Missing, Fit, Unfit };

Result<Verdict> inspect(const std::string& path, std::vector<std::string>& readable) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return Verdict::Missing;
    return fail(last_os_error());
  }
  if (!S_ISDIR(st.st_mode)) return Verdict::Unfit;
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return Verdict::Unfit;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return Verdict::Unfit;
  auto links = holds_links(path, readable);
  if (!links) return fail(links.error());
  return *links ? Verdict::Unfit : Verdict::Fit;
}

// As `unused_name`, but a link counts as taken even when it leads nowhere:
// the folder above may be writable by others, who could plant one.
std::string aside_name(const std::string& path) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const std::string base = path + ".moved-" + std::to_string(ms);
  std::string name = base;
  struct stat st {};
  for (int n = 2; ::lstat(name.c_str(), &st) == 0; ++n) name = base + "-" + std::to_string(n);
  return name;
}

// Both are never destroyed: a registry that is a static made before them,
// in a program that ends by running destructors (the service ends without),
// saves its last marks at exit, and its saver thread may still run then.
std::mutex& ensure_lock() {
  static auto* const lock = new std::mutex;
  return *lock;
}

// The folder last found fit while private. Nobody but the service's own
// account can add to a folder that has stayed private since, so its
// entries need no second look: each connect asks again, and the look at
// every file was most of what that cost (some 80 us of a connect).
struct Checked {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
};
Checked& last_checked() {
  static auto* const checked = new Checked;
  return *checked;
}

bool still_private(const std::string& path, const struct stat& st) {
  const Checked& c = last_checked();
  return S_ISDIR(st.st_mode) && (st.st_mode & 077) == 0 &&
         (st.st_uid == 0 || st.st_uid == ::geteuid()) && c.path == path && c.dev == st.st_dev &&
         c.ino == st.st_ino;
}

void remember_private(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || (st.st_mode & 077) != 0) return;
  last_checked() = Checked{path, st.st_dev, st.st_ino};
}

}  // namespace

// rename(2) takes the name from the old file whoever holds it open.
Result<void> renew_file(const std::string& path, std::string_view content) {
  return replace_file_atomically(path, path + ".renew", content);
}

Result<void> ensure_private_dir(const std::string& path) {
  const std::lock_guard guard(ensure_lock());
  if (struct stat st{}; ::lstat(path.c_str(), &st) == 0 && still_private(path, st)) return {};
  if (const std::string parent = parent_path(path); !parent.empty()) {
    (void)create_directories(parent);
  }
  for (int round = 0; round < 3; ++round) {
    std::vector<std::string> readable;
    auto seen = inspect(path, readable);
    if (!seen) return fail(seen.error());
    switch (*seen) {
      case Verdict::Fit: {
        // Readable by others when an earlier version made it: shut first,
        // then each file others could read made anew.
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return fail(last_os_error());
        if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), PRIVATE_DIR_MODE) != 0) {
          return fail(last_os_error());
        }
        renew_files(path, readable);
        remember_private(path);
        return {};
      }
      case Verdict::Unfit:
        // rename() moves a symbolic link itself, never what it points to.
        if (::rename(path.c_str(), aside_name(path).c_str()) != 0) {
          return fail(last_os_error().wrapped("не отодвинуть " + path));
        }
        [[fallthrough]];
      case Verdict::Missing:
        if (::mkdir(path.c_str(), PRIVATE_DIR_MODE) != 0) {
          if (errno == EEXIST) continue;
          return fail(last_os_error().wrapped("не создать " + path));
        }
        // The process's umask may have taken away more than wanted; never less.
        (void)::chmod(path.c_str(), PRIVATE_DIR_MODE);
        remember_private(path);
        return {};
    }
  }
  return fail(os_error(EEXIST).wrapped("не создать " + path));
}

}  // namespace ombrel::platform
