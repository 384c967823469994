#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/files/paths.hpp"
#include "platform/oserror.hpp"
#include "platform/trust/install_folder.hpp"

namespace ombrel::platform {

Result<bool> is_safe_install_folder(const std::string& folder, JudgedBy) {
  const auto own = static_cast<std::uint32_t>(::geteuid());
  std::string current = folder;
  bool first = true;
  while (!current.empty()) {
    struct stat st {};
    // lstat: a link on the way is judged as what it is, not followed.
    if (::lstat(current.c_str(), &st) != 0) {
      return fail(last_os_error().wrapped("не проверить " + current));
    }
    if (!S_ISDIR(st.st_mode)) return false;
    if (!is_safe_folder_mode(st.st_uid, st.st_mode, own, first)) return false;
    first = false;
    current = parent_path(current);
  }
  return true;
}

Result<bool> is_safe_program_file(const InputFile& file) {
  struct stat st {};
  if (::fstat(file.native_fd(), &st) != 0) return fail(last_os_error());
  // The sticky bit means nothing on a file: judged as the folder it lies in.
  return S_ISREG(st.st_mode) &&
         is_safe_folder_mode(st.st_uid, st.st_mode, static_cast<std::uint32_t>(::geteuid()), true);
}

Result<std::string> held_file_folder(const InputFile& file) {
  // The kernel's name for the open file: every link on the way resolved.
  const std::string self = "/proc/self/fd/" + std::to_string(file.native_fd());
  std::string target(PATH_MAX, '\0');
  const ssize_t n = ::readlink(self.c_str(), target.data(), target.size());
  if (n < 0) return fail(last_os_error());
  target.resize(static_cast<std::size_t>(n));
  // A file removed while held reads "... (deleted)": not a folder to judge.
  if (!target.starts_with('/') || target.ends_with(" (deleted)")) {
    return fail(os_error(ENOENT));
  }
  return parent_path(target);
}

}  // namespace ombrel::platform
