#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/oserror.hpp"
#include "platform/process/selfstats.hpp"

namespace ombrel::platform {
namespace {

// One number of /proc/<proc>/status, read with `format` ("Threads: %zu").
Result<std::size_t> status_field(const std::string& proc, const char* format) {
  const std::string path = "/proc/" + proc + "/status";
  std::FILE* status = std::fopen(path.c_str(), "re");
  if (status == nullptr) return fail(last_os_error());
  char line[256];
  std::size_t value = 0;
  bool found = false;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, format, &value) == 1) {
      found = true;
      break;
    }
  }
  std::fclose(status);
  if (!found) return fail("в " + path + " нет поля " + format);
  return value;
}

Result<std::size_t> descriptor_count(const std::string& proc) {
  const std::string path = "/proc/" + proc + "/fd";
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return fail(last_os_error());
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace

Result<std::size_t> own_thread_count() {
  return status_field("self", "Threads: %zu");
}

Result<std::size_t> own_handle_count() {
  auto count = descriptor_count("self");
  // The listing's own descriptor was among them.
  if (count) --*count;
  return count;
}

Result<ProcessCounts> process_counts(std::uint32_t pid) {
  const std::string proc = std::to_string(pid);
  const auto threads = status_field(proc, "Threads: %zu");
  if (!threads) return fail(threads.error());
  const auto handles = descriptor_count(proc);
  if (!handles) return fail(handles.error());
  const auto resident_kib = status_field(proc, "VmRSS: %zu");
  if (!resident_kib) return fail(resident_kib.error());
  const auto private_kib = status_field(proc, "RssAnon: %zu");
  if (!private_kib) return fail(private_kib.error());
  return ProcessCounts{*threads, *handles, *resident_kib * 1024, *private_kib * 1024};
}

}  // namespace ombrel::platform
