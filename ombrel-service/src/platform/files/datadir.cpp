// The data folder is the same notion on both platforms.
#include <chrono>

#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/files/paths.hpp"

namespace ombrel::platform {

void renew_files(const std::string& dir, const std::vector<std::string>& names) {
  // Others may hold these files (an oplock): each is given up rather than
  // waited for.
  const auto watcher = make_io_watcher();
  for (const std::string& name : names) {
    const std::string path = join_path(dir, name);
    BoundedIo io(*watcher, SHARED_FILE_STALL, std::chrono::steady_clock::now() + SHARED_FILE_STALL);
    const BoundedCall bounded;
    auto content = read_file(path);
    if (!content) continue;
    (void)replace_file_atomically(path, path + ".renew", *content);
  }
}

Result<void> ensure_private_data_dir() {
  return ensure_private_dir(data_dir());
}

}  // namespace ombrel::platform
