#pragma once
// A diagnostic file of one run ("core-diag.log", "tunnel-diag.log"), capped
// at 256 KiB: a line is written only while the file is at most 262,143 bytes
// long, so the file may end slightly above the cap by the last line written
// whole. The first line that finds the file over the cap closes it for the
// rest of the run, unless the log rotates: then the full file is kept under
// its second name, a new one is begun and the line goes there, so that the
// lines of the last moments are always there to read. Write errors are
// ignored: diagnostics never stop the work.
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
  // `create`, for a log that at its cap renames its file over `prev_path`
  // and goes on in a new one at `path`.
  static DiagLog create_rotating(const std::string& path, const std::string& prev_path);

  bool is_open() const { return file_.is_open(); }
  // Writes `line`, escaped (escape_controls), and a line feed, if the cap
  // allows.
  void write_line(std::string_view line);
  // The same for a line escaped by its writer already, written as it is.
  void write_escaped_line(std::string_view line);
  void close() { file_.close(); }

 private:
  static constexpr int SIZE_CHECK_EVERY = 32;

  // False when the file is over the cap and could not be begun afresh.
  bool room_for_a_line();
  // Writes the line in `scratch_` with its line feed.
  void write_scratch();

  platform::File file_;
  std::string path_;       // set when the log rotates
  std::string prev_path_;  // where a full file goes
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
