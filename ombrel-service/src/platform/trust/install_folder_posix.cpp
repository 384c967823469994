#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace ombrel::platform
