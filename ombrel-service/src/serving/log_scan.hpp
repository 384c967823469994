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

// The channel a line is routed through, as classify_log_line names it;
// NO_CHANNEL for any other line.
std::int64_t channel_of(std::string_view line);

// Every probe failure holds this.
inline constexpr std::string_view PROBE_MARK = "error ping";

// One sweep over a run of lines: whether it is all ASCII, and where
// PROBE_MARK stands in it, up to MOST places. It reads every byte the core
// writes, so it uses the widest registers the processor has unless `wide`
// is false (for tests of the narrower way).
struct ProbeSweep {
  static constexpr std::size_t MOST = 32;
  bool ascii = true;
  bool more = false;  // there were more than MOST places
  std::size_t count = 0;
  std::size_t at[MOST];
};
ProbeSweep sweep_for_probes(std::string_view text, bool wide = true);

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

// scan_log_lines for a caller with no log to write (need_logged false),
// visiting only the lines that can change anything: every probe failure and
// the last line routed through a channel, in their order. A busy proxy core
// fills the diagnostic log within seconds and from then on prints mostly
// access lines, of which only the last of each run names the channel in use;
// so instead of splitting and classifying every line, the run is looked
// through for "error ping" (every probe failure holds it) and read back from
// its end to the first routed line. Text that is not all ASCII goes the full
// way, which finds the line that is not UTF-8 and stops there.
template <class Visit>
bool scan_log_lines_sparse(std::string_view text, Visit&& visit) {
  const log_scan::ProbeSweep probes = log_scan::sweep_for_probes(text);
  if (!probes.ascii || probes.more) return scan_log_lines(text, false, visit);
  constexpr std::size_t npos = std::string_view::npos;
  // The line that starts at `start`, without its line feed and any carriage
  // return before it.
  const auto line_at = [&](std::size_t start) {
    std::string_view line = text.substr(start, scan::find_byte(text, '\n', start) - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  };
  // The last routed line, read back from the end.
  std::size_t routed = npos;
  LogLineInfo routed_info;
  routed_info.logged = false;
  for (std::size_t end = text.size(); end > 0 && routed == npos;) {
    const std::size_t lf = scan::rfind_byte(text.substr(0, end - 1), '\n');
    const std::size_t start = lf == npos ? 0 : lf + 1;
    if (const std::int64_t channel = log_scan::channel_of(line_at(start)); channel >= 0) {
      routed = start;
      routed_info.channel_in_use = channel;
    }
    end = start;
  }
  LogLineInfo info;
  std::size_t next = 0;  // where the next line not yet looked at starts
  for (std::size_t i = 0; i < probes.count; ++i) {
    const std::size_t hit = probes.at[i];
    if (hit < next) continue;  // a second mark on a line already taken
    const std::size_t lf = scan::rfind_byte(text.substr(0, hit), '\n');
    const std::size_t start = lf == npos ? 0 : lf + 1;
    if (routed != npos && routed <= start) {
      visit(line_at(routed), std::as_const(routed_info));
      routed = npos;
    }
    const std::string_view line = line_at(start);
    // A routed line among them is left to the last routed line.
    log_scan::classify(line, false, info);
    if (info.probe_failure && !info.channel_in_use) visit(line, std::as_const(info));
    next = scan::find_byte(text, '\n', hit) + 1;
  }
  if (routed != npos) visit(line_at(routed), std::as_const(routed_info));
  return true;
}

}  // namespace ombrel::serving
