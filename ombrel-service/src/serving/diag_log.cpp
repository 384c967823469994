#include "serving/diag_log.hpp"

namespace ombrel::serving {

DiagLog DiagLog::create(const std::string& path) {
  auto file = platform::File::create(path);
  if (!file) return DiagLog();
  return DiagLog(std::move(*file));
}

void DiagLog::write_line(std::string_view line) {
  if (!file_.is_open()) return;
  // A size that cannot be read does not stop the log.
  if (const auto size = file_.size(); size && *size >= DIAG_LOG_CAP) {
    file_.close();
    return;
  }
  // One write per line keeps lines whole when another handle appends too.
  scratch_.assign(line);
  scratch_ += '\n';
  (void)file_.write_all(scratch_);
}

}  // namespace ombrel::serving
