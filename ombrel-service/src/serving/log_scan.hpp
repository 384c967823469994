#pragma once
// The log watcher's hot path: many lines of the proxy core's output split
// and classified at once, with the same result per line as
// classify_log_line. The proxy core blocks once its output pipe is full, so
// this is what stands between a busy core and a stalled one.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/text.hpp"
#include "serving/core_log.hpp"
#include "serving/scan.hpp"

namespace ombrel::serving {

namespace log_scan {

// Sets `info` to classify_log_line(line), except that with `need_logged`
// false the line's `logged` is set true unexamined: the caller has no log to
// write it to, and the search for " accepted " is saved. The caller's
// `info` is reused from line to line: a new one returned per line cost a
// stalled store each.
void classify(std::string_view line, bool need_logged, LogLineInfo& info);

}  // namespace log_scan

// Calls `visit(line, info)` for every line of `text`, which holds whole
// lines each ended by a line feed (LineReader::next_lines). Lines are cut
// as LineReader cuts them; `info` is as log_scan::classify sets it.
// Stops at a line that is not UTF-8, without visiting it, and then returns
// false. One sweep marks the line feeds sixty-four bytes at a time and
// tells which blocks are pure ASCII, so that most lines need no UTF-8 check.
template <class Visit>
bool scan_log_lines(std::string_view text, bool need_logged, Visit&& visit) {
  const char* const p = text.data();
  const std::size_t n = text.size();
  std::size_t start = 0;  // of the current line
  bool high = false;      // whether it has met a block with a byte of 0x80 or above
  LogLineInfo info;
  for (std::size_t base = 0; base < n; base += 64) {
    scan::Block block;
    if (n - base >= 64) {
      block = scan::scan_block(p + base);
    } else {
      char tail[64] = {};
      std::memcpy(tail, p + base, n - base);
      block = scan::scan_block(tail);
    }
    high = high || block.high;
    for (std::uint64_t feeds = block.line_feeds; feeds != 0; feeds &= feeds - 1) {
      const std::size_t end = base + static_cast<std::size_t>(std::countr_zero(feeds));
      std::string_view line(p + start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (high && !is_valid_utf8(line)) return false;
      log_scan::classify(line, need_logged, info);
      visit(line, std::as_const(info));
      start = end + 1;
      high = block.high && start < base + 64;
    }
  }
  return true;
}

}  // namespace ombrel::serving
