// The data folder is the same notion on both platforms.
#include <chrono>
#include <mutex>
#include <utility>

#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/files/paths.hpp"

namespace ombrel::platform {

namespace {

// Never destroyed: a registry that is a static, saving at exit, may renew
// files after every other static is gone.
struct Reporting {
  std::mutex lock;
  RenewalReporter reporter;
  std::vector<Error> waiting;
};
Reporting& reporting() {
  static auto* const r = new Reporting;
  return *r;
}

void report(Error failure) {
  Reporting& r = reporting();
  std::unique_lock lock(r.lock);
  if (!r.reporter) {
    r.waiting.push_back(std::move(failure));
    return;
  }
  // A copy, called unlocked: the reporter may take locks of its own.
  const RenewalReporter reporter = r.reporter;
  lock.unlock();
  reporter(failure);
}

}  // namespace

void report_renewal_failures_to(RenewalReporter reporter) {
  Reporting& r = reporting();
  std::vector<Error> waiting;
  {
    const std::lock_guard lock(r.lock);
    r.reporter = reporter;
    if (reporter) waiting.swap(r.waiting);
  }
  for (const Error& failure : waiting) reporter(failure);
}

void renew_files(const std::string& dir, const std::vector<std::string>& names) {
  // Others may hold these files (an oplock): each is given up rather than
  // waited for.
  const auto watcher = make_io_watcher();
  for (const std::string& name : names) {
    const std::string path = join_path(dir, name);
    BoundedIo io(*watcher, SHARED_FILE_STALL, std::chrono::steady_clock::now() + SHARED_FILE_STALL);
    const BoundedCall bounded;
    auto content = read_file(path);
    // Gone meanwhile: nobody reads it any more. Held so that it cannot even
    // be read: that holder reads on all the same.
    Result<void> renewed = content             ? renew_file(path, *content)
                           : path_exists(path) ? Result<void>(fail(content.error()))
                                               : Result<void>();
    if (!renewed) report(std::move(renewed.error()).wrapped("не пересоздать " + path));
  }
}

Result<void> ensure_private_data_dir() {
  const std::string dir = data_dir();
  OMBREL_TRY(ensure_private_dir(dir));
  // Only the service makes files in its folder, so every such name is the
  // copy of a renewal whose holder kept it open at the time.
  for (const std::string& entry : folder_entries(dir).value_or(std::vector<std::string>{})) {
    const std::string_view origin = gone_name_origin(entry);
    if (origin.empty()) continue;
    const std::string copy = join_path(dir, entry);
    const std::string file = join_path(dir, origin);
    // A renewal that could not put the held file back left its only copy
    // aside: its content is made the file again before the copy goes.
    if (!path_exists(file)) {
      auto content = read_file(copy);
      if (!content || !replace_file_atomically(file, file + ".renew", *content)) continue;
    }
    // A copy still held stays for the next start; it is no longer read.
    (void)remove_file(copy);
  }
  return {};
}

}  // namespace ombrel::platform
