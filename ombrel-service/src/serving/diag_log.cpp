#include "serving/diag_log.hpp"

#include "base/text.hpp"
#include "platform/files/io_bound.hpp"

#include <chrono>

namespace ombrel::serving {

DiagLog create_shared_log(const std::string& path) {
  const auto watcher = platform::make_io_watcher();
  platform::BoundedIo bounded(*watcher, platform::SHARED_FILE_STALL,
                              std::chrono::steady_clock::now() + platform::SHARED_FILE_STALL);
  DiagLog log = DiagLog::create(path);
  if (bounded.outcome() != platform::BoundedIo::Ran::InTime) return DiagLog();
  return log;
}

DiagLog DiagLog::create(const std::string& path) {
  auto file = platform::File::create(path);
  if (!file) return DiagLog();
  return DiagLog(std::move(*file));
}

DiagLog DiagLog::create_rotating(const std::string& path, const std::string& prev_path) {
  DiagLog log = create_shared_log(path);
  log.path_ = path;
  log.prev_path_ = prev_path;
  return log;
}

bool DiagLog::room_for_a_line() {
  if (!file_.is_open()) return false;
  // The size is counted here and read from the file only now and then and
  // before the cap closes the log: a busy core's output fills the log line
  // by line, and a second system call per line was half of writing it.
  // Another writer to the same file can thus take it past the cap by at
  // most SIZE_CHECK_EVERY lines of its own.
  if (size_ >= DIAG_LOG_CAP || unchecked_lines_ == 0) {
    // A size that cannot be read does not stop the log.
    if (const auto size = file_.size()) size_ = *size;
    unchecked_lines_ = SIZE_CHECK_EVERY;
    if (size_ >= DIAG_LOG_CAP) {
      file_.close();
      if (path_.empty()) return false;
      // A log that anyone can fill (the service's, with what clients make it
      // say) must still hold what came last. Whoever holds the full file
      // with an oplock delays this by at most the shared-file bound, and
      // then the log simply ends.
      {
        const auto watcher = platform::make_io_watcher();
        platform::BoundedIo bounded(*watcher, platform::SHARED_FILE_STALL,
                                    std::chrono::steady_clock::now() + platform::SHARED_FILE_STALL);
        const platform::BoundedCall call;
        (void)platform::rename_file(path_, prev_path_);
      }
      file_ = std::move(create_shared_log(path_).file_);
      size_ = 0;
      if (!file_.is_open()) return false;
    }
  }
  --unchecked_lines_;
  return true;
}

void DiagLog::write_line(std::string_view line) {
  if (!room_for_a_line()) return;
  // A remark or a core's output line may carry control characters: shown
  // as escapes, a line feed in them cannot forge a line of its own.
  scratch_.clear();
  append_escaped(scratch_, line);
  write_scratch();
}

void DiagLog::write_escaped_line(std::string_view line) {
  if (!room_for_a_line()) return;
  scratch_.assign(line);
  write_scratch();
}

void DiagLog::write_scratch() {
  // One write per line keeps lines whole when another handle appends too.
  scratch_ += '\n';
  if (file_.write_all(scratch_)) size_ += scratch_.size();
}

}  // namespace ombrel::serving
