// The installation folder is the same notion on both platforms; only the
// way to the executable's path differs.
#include "platform/files/paths.hpp"

namespace ombrel::platform {

Result<std::string> install_dir() {
  auto exe = current_exe_path();
  if (!exe) return fail(exe.error());
  std::string dir = parent_path(*exe);
  if (dir.empty()) return fail("не определить папку установки");
  return dir;
}

}  // namespace ombrel::platform
