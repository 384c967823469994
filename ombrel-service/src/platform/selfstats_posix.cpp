#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "platform/oserror.hpp"
#include "platform/selfstats.hpp"

namespace ombrel::platform {

Result<std::size_t> own_thread_count() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return fail(last_os_error());
  char line[256];
  std::size_t threads = 0;
  bool found = false;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Threads: %zu", &threads) == 1) {
      found = true;
      break;
    }
  }
  std::fclose(status);
  if (!found) return fail("в /proc/self/status нет числа потоков");
  return threads;
}

Result<std::size_t> own_handle_count() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return fail(last_os_error());
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
  }
  ::closedir(dir);
  // The listing's own descriptor was among them.
  return count - 1;
}

}  // namespace ombrel::platform
