#pragma once
// A diagnostic file of one run ("core-diag.log", "tunnel-diag.log"), capped
// at 256 KiB: a line is written only while the file is at most 262,143 bytes
// long, so the file may end slightly above the cap by the last line written
// whole. The first line that finds the file over the cap closes it for the
// rest of the run. Write errors are ignored: diagnostics never stop the work.
// Not locked: a log shared by threads needs its owner's mutex.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files/files.hpp"

namespace ombrel::serving {

inline constexpr std::uint64_t DIAG_LOG_CAP = 262'144;

class DiagLog {
 public:
  // A log without a file: writes nothing.
  DiagLog() = default;
  explicit DiagLog(platform::File file) : file_(std::move(file)) {}

  // Creates or truncates the file at `path`; a log without a file if that
  // fails.
  static DiagLog create(const std::string& path);

  bool is_open() const { return file_.is_open(); }
  // Writes `line` and a line feed, if the cap allows.
  void write_line(std::string_view line);
  void close() { file_.close(); }

 private:
  static constexpr int SIZE_CHECK_EVERY = 32;

  platform::File file_;
  std::string scratch_;
  std::uint64_t size_ = 0;   // as last read, plus what was written since
  int unchecked_lines_ = 0;  // lines left before the size is read again
};

// `DiagLog::create` for a file in a folder others may read, which someone
// may hold with an oplock: the creation may wait no longer than
// platform::SHARED_FILE_STALL, and a log whose file did not answer in time
// has none, so that the output it copies is drained all the same.
DiagLog create_shared_log(const std::string& path);

}  // namespace ombrel::serving
