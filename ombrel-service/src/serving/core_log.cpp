#include "serving/core_log.hpp"

#include <bit>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/text.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "serving/diag_log.hpp"
#include "serving/line_reader.hpp"
#include "serving/log_scan.hpp"
#include "serving/scan.hpp"

namespace ombrel::serving {

namespace {

constexpr std::string_view HEADER_LINE = "--- какой канал под каким номером:";
// Channel and failure lines: prefix, channel number, middle, remark.
constexpr std::string_view CHANNEL_LINE_PREFIX = "    p";
constexpr std::string_view CHANNEL_LINE_MIDDLE = " = ";
constexpr std::string_view FAILURE_LINE_MIDDLE = " провалил пробы подряд - снимаю с проверенных: ";

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_ascii_white_space(char c) {
  return (c >= 0x09 && c <= 0x0D) || c == ' ';
}

// Trims Unicode white space from both ends; a malformed sequence stops the
// trimming on its side.
std::string_view trim(std::string_view s) {
  while (!s.empty()) {
    if (static_cast<unsigned char>(s.front()) < 0x80) {
      if (!is_ascii_white_space(s.front())) break;
      s.remove_prefix(1);
      continue;
    }
    std::size_t pos = 0;
    const auto cp = next_code_point(s, pos);
    if (!cp || !is_white_space(*cp)) break;
    s.remove_prefix(pos);
  }
  while (!s.empty()) {
    if (static_cast<unsigned char>(s.back()) < 0x80) {
      if (!is_ascii_white_space(s.back())) break;
      s.remove_suffix(1);
      continue;
    }
    std::size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    const auto cp = next_code_point(s, pos);
    if (!cp || pos != s.size() || !is_white_space(*cp)) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Digits only, at least one, value within `max`. Overflow is caught by the
// compiler's checked arithmetic: a division per digit to foresee it was a
// noticeable part of reading each access line.
std::optional<std::uint64_t> parse_number(std::string_view digits, std::uint64_t max) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    const auto digit = static_cast<unsigned>(c - '0');
    if (digit > 9) return std::nullopt;
    if (__builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, digit, &value)) {
      return std::nullopt;
    }
  }
  if (value > max) return std::nullopt;
  return value;
}

// "p" and decimal digits, nothing else; NO_CHANNEL otherwise. A plain
// number, not an optional: copying an optional out of here cost the hot
// path a stalled store per line.
[[gnu::always_inline]] inline std::int64_t channel_tag(std::string_view tag) {
  if (tag.size() < 2 || tag[0] != 'p') return NO_CHANNEL;
  // Eighteen digits cannot overflow: the common short tag needs no checked
  // arithmetic and no call.
  if (tag.size() <= 19) {
    std::int64_t value = 0;
    for (std::size_t i = 1; i < tag.size(); ++i) {
      const auto digit = static_cast<unsigned>(tag[i] - '0');
      if (digit > 9) return NO_CHANNEL;
      value = value * 10 + digit;
    }
    return value;
  }
  const auto n = parse_number(tag.substr(1), std::numeric_limits<std::int64_t>::max());
  return n ? static_cast<std::int64_t>(*n) : NO_CHANNEL;
}

// The tag after the last arrow inside the last "[...]" of an access line,
// that "[" being at `open` (npos: none); NO_CHANNEL when it names none.
std::int64_t routed_channel(std::string_view line, std::size_t open) {
  if (open == std::string_view::npos) return NO_CHANNEL;
  const auto close = scan::find_byte(line, ']', open + 1);
  if (close == std::string_view::npos) return NO_CHANNEL;
  auto arrow = scan::rfind_pair(line, open + 1, close, '-', '>');
  if (arrow == std::string_view::npos) arrow = scan::rfind_pair(line, open + 1, close, '>', '>');
  if (arrow == std::string_view::npos) return NO_CHANNEL;
  return channel_tag(trim(line.substr(arrow + 2, close - arrow - 2)));
}

// What routed_channel_near_end leaves to the full search.
constexpr std::int64_t UNSETTLED = -2;
// The bytes routed_channel_near_end looks at, from the line's end.
constexpr std::size_t NEAR_END = 32;

// routed_channel for a line whose last "[" lies within its last NEAR_END
// bytes, as it mostly does in an access line: two loads of those bytes, bit
// masks of "[", "]", "-" and ">" in them, and a few bit operations in place
// of a search for each. UNSETTLED for a shorter line or one whose last "["
// is further back; everything after that "[" lies within the bytes looked
// at, so the answer otherwise equals routed_channel's.
std::int64_t routed_channel_near_end(std::string_view line) {
#if defined(__SSE2__)
  if (line.size() < NEAR_END) return UNSETTLED;
  const char* const w = line.data() + line.size() - NEAR_END;
  const __m128i low = scan::load16(w);
  const __m128i high = scan::load16(w + 16);
  const auto bits = [&](char c) {
    const __m128i pattern = _mm_set1_epi8(c);
    return scan::equal_mask(low, pattern) | scan::equal_mask(high, pattern) << 16;
  };
  const std::uint32_t opens = bits('[');
  if (opens == 0) return UNSETTLED;
  const unsigned open = 31 - static_cast<unsigned>(std::countl_zero(opens));
  // Unsigned shifts by up to 31: a bit shifted out leaves an empty mask.
  const std::uint32_t closes = bits(']') & ~((2u << open) - 1);
  if (closes == 0) return NO_CHANNEL;
  const unsigned close = static_cast<unsigned>(std::countr_zero(closes));
  // The ">" of an arrow lies at least two bytes after the "[" and before the
  // "]"; the byte before it, then, lies after the "[".
  const std::uint32_t tips = bits('>');
  const std::uint32_t inside = tips & ((1u << close) - 1) & ~((4u << open) - 1);
  std::uint32_t arrows = inside & (bits('-') << 1);
  if (arrows == 0) arrows = inside & (tips << 1);
  if (arrows == 0) return NO_CHANNEL;
  const unsigned tip = 31 - static_cast<unsigned>(std::countl_zero(arrows));
  // Blanks trimmed here; only a tag that then starts or ends outside ASCII
  // needs the full trim.
  const char* begin = w + tip + 1;
  const char* end = w + close;
  if (begin < end && *begin == ' ') ++begin;  // the usual single blank
  while (begin < end && is_ascii_white_space(*begin)) ++begin;
  while (end > begin && is_ascii_white_space(end[-1])) --end;
  const std::string_view tag(begin, static_cast<std::size_t>(end - begin));
  if (!tag.empty() && (static_cast<unsigned char>(tag.front()) >= 0x80 ||
                       static_cast<unsigned char>(tag.back()) >= 0x80)) {
    return channel_tag(trim(tag));
  }
  return channel_tag(tag);
#else
  (void)line;
  return UNSETTLED;
#endif
}

std::optional<std::uint64_t> failed_probe(std::string_view line) {
  if (!scan::contains(line, "observatory") || !scan::contains(line, "error ping")) {
    return std::nullopt;
  }
  constexpr std::string_view marker = " with p";
  const auto at = scan::rfind(line, marker);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + marker.size());
  std::size_t run = 0;
  while (run < rest.size() && is_digit(rest[run])) ++run;
  return parse_number(rest.substr(0, run), std::numeric_limits<std::uint64_t>::max());
}

// A line routed through `channel`, as classify_log_line sees it.
[[gnu::always_inline]] inline void set_routed(LogLineInfo& info, std::int64_t channel) {
  info.channel_in_use = channel;
  info.probe_failure.reset();
  info.logged = false;
}

// classify_log_line for a line whose routed channel is `channel`
// (NO_CHANNEL: none), into `info`; see log_scan::classify for `need_logged`.
void classify_with_channel(std::string_view line, std::int64_t channel, bool need_logged,
                           LogLineInfo& info) {
  if (channel != NO_CHANNEL) {
    set_routed(info, channel);
    return;
  }
  info.channel_in_use.reset();
  info.probe_failure = failed_probe(line);
  info.logged = !need_logged || !scan::contains(line, " accepted ");
}

// routed_channel for a line whose last NEAR_END bytes, if it has that many,
// hold no "[".
std::int64_t routed_channel_before_end(std::string_view line) {
  const std::size_t seen = line.size() >= NEAR_END ? NEAR_END : 0;
  return routed_channel(line, scan::rfind_byte(line.substr(0, line.size() - seen), '['));
}

std::string numbered_line(std::uint64_t n, std::string_view middle, std::string_view remark) {
  std::string out(CHANNEL_LINE_PREFIX);
  out += std::to_string(n);
  out += middle;
  out += remark;
  return out;
}

std::uint64_t wall_now(const Clock& clock) {
  const std::int64_t ms = clock.wall_ms();
  return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

}  // namespace

CurrentChannel make_current_channel() {
  return std::make_shared<std::atomic<std::int64_t>>(NO_CHANNEL);
}

LogLineInfo classify_log_line(std::string_view line) {
  LogLineInfo info;
  classify_with_channel(line, routed_channel(line, scan::rfind_byte(line, '[')), true, info);
  return info;
}

namespace {

// log_scan::classify past the bytes near the line's end. Out of line, so that
// a routed access line, settled near its end, pays for none of its
// registers.
[[gnu::noinline]] void classify_further(std::string_view line, bool settled, bool need_logged,
                                        LogLineInfo& info) {
  classify_with_channel(line, settled ? NO_CHANNEL : routed_channel_before_end(line), need_logged,
                        info);
}

}  // namespace

std::int64_t log_scan::channel_of(std::string_view line) {
  const std::int64_t channel = routed_channel_near_end(line);
  return channel != UNSETTLED ? channel : routed_channel_before_end(line);
}

void log_scan::classify(std::string_view line, bool need_logged, LogLineInfo& info) {
  const std::int64_t channel = routed_channel_near_end(line);
  if (channel >= 0) {
    set_routed(info, channel);
    return;
  }
  classify_further(line, channel == NO_CHANNEL, need_logged, info);
}

namespace {

// What a wide sweep leaves to the plain search: the first start it did not
// screen, and whether every byte it loaded was ASCII.
struct WideSweep {
  std::size_t next = 0;
  bool ascii = true;
};

// The screen of sweep_for_probes, sixty-four starts a step: each start is
// screened by two bytes of the mark (its second and second-to-last) and only
// the starts matching both are compared in full. The first bytes loaded, at
// start + 1, also go into the high-bit check; over the steps they cover
// bytes 1 .. next, and byte 0 and the rest are the caller's to check.
template <class Found>
WideSweep sweep_sse2(std::string_view text, Found& found) {
  WideSweep out;
#if defined(__SSE2__)
  constexpr std::string_view mark = log_scan::PROBE_MARK;
  constexpr std::size_t m = mark.size();
  const char* const p = text.data();
  const __m128i first = _mm_set1_epi8(mark[1]);
  const __m128i second = _mm_set1_epi8(mark[m - 2]);
  __m128i seen = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 64 + m <= text.size(); i += 64) {
    __m128i part[4];
    for (int k = 0; k < 4; ++k) {
      const __m128i a = scan::load16(p + i + 16 * k + 1);
      seen = _mm_or_si128(seen, a);
      part[k] = _mm_and_si128(_mm_cmpeq_epi8(a, first),
                              _mm_cmpeq_epi8(scan::load16(p + i + 16 * k + m - 2), second));
    }
    const __m128i any =
        _mm_or_si128(_mm_or_si128(part[0], part[1]), _mm_or_si128(part[2], part[3]));
    if (_mm_movemask_epi8(any) == 0) [[likely]] {
      continue;
    }
    for (int k = 0; k < 4; ++k) {
      for (unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(part[k])); bits != 0;
           bits &= bits - 1) {
        found(i + 16 * static_cast<std::size_t>(k) +
              static_cast<std::size_t>(std::countr_zero(bits)));
      }
    }
  }
  out.next = i;
  out.ascii = _mm_movemask_epi8(seen) == 0;
#else
  (void)text;
  (void)found;
#endif
  return out;
}

#if defined(__x86_64__)
// sweep_sse2 with 32-byte registers, on processors that have them.
template <class Found>
[[gnu::target("avx2")]] WideSweep sweep_avx2(std::string_view text, Found& found) {
  constexpr std::string_view mark = log_scan::PROBE_MARK;
  constexpr std::size_t m = mark.size();
  const char* const p = text.data();
  const __m256i first = _mm256_set1_epi8(mark[1]);
  const __m256i second = _mm256_set1_epi8(mark[m - 2]);
  __m256i seen = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 64 + m <= text.size(); i += 64) {
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 33));
    seen = _mm256_or_si256(seen, _mm256_or_si256(a0, a1));
    const __m256i low = _mm256_and_si256(
        _mm256_cmpeq_epi8(a0, first),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + m - 2)),
                          second));
    const __m256i high = _mm256_and_si256(
        _mm256_cmpeq_epi8(a1, first),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + m + 30)),
                          second));
    if (_mm256_testz_si256(_mm256_or_si256(low, high), _mm256_or_si256(low, high))) [[likely]] {
      continue;
    }
    std::uint64_t bits =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
    for (; bits != 0; bits &= bits - 1) {
      found(i + static_cast<std::size_t>(std::countr_zero(bits)));
    }
  }
  WideSweep out;
  out.next = i;
  out.ascii = _mm256_movemask_epi8(seen) == 0;
  _mm256_zeroupper();
  return out;
}

bool has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

log_scan::ProbeSweep log_scan::sweep_for_probes(std::string_view text, bool wide) {
  ProbeSweep sweep;
  constexpr std::size_t m = PROBE_MARK.size();
  const auto found = [&](std::size_t at) {
    if (std::memcmp(text.data() + at, PROBE_MARK.data(), m) != 0) return;
    if (sweep.count == ProbeSweep::MOST) {
      sweep.more = true;
    } else {
      sweep.at[sweep.count++] = at;
    }
  };
  WideSweep screened;
  if (text.size() >= 64 + m) {
#if defined(__x86_64__)
    screened = wide && has_avx2() ? sweep_avx2(text, found) : sweep_sse2(text, found);
#else
    (void)wide;
    screened = sweep_sse2(text, found);
#endif
  }
  const std::size_t next = screened.next;
  sweep.ascii = screened.ascii && (next == 0 || static_cast<unsigned char>(text[0]) < 0x80) &&
                scan::is_ascii(text.substr(next == 0 ? 0 : next + 1));
  for (std::size_t at = scan::find(text, PROBE_MARK, next); at != std::string_view::npos;
       at = scan::find(text, PROBE_MARK, at + 1)) {
    found(at);
  }
  return sweep;
}

bool ProbeFailures::record(std::uint64_t channel, std::uint64_t now_ms) {
  auto& times = times_[channel];
  // A time after now (the clock went back) counts as just now.
  std::erase_if(
      times, [&](std::uint64_t s) { return (now_ms > s ? now_ms - s : 0) > PROBE_FAIL_WINDOW_MS; });
  times.push_back(now_ms);
  if (times.size() < PROBE_FAIL_LIMIT) return false;
  times.clear();
  return true;
}

void watch_core_log(std::vector<std::string> channel_labels, CurrentChannel current_channel,
                    std::unique_ptr<Reader> output, registry::ChannelRegistry& registry,
                    const Clock& clock, const std::string& log_path) {
  (void)platform::create_directories(platform::parent_path(log_path));
  DiagLog log = create_shared_log(log_path);
  log.write_line(HEADER_LINE);
  for (std::size_t n = 0; n < channel_labels.size(); ++n) {
    log.write_line(numbered_line(n, CHANNEL_LINE_MIDDLE, channel_labels[n]));
  }

  ProbeFailures failures;
  const auto take = [&](std::string_view line, const LogLineInfo& info) {
    if (info.channel_in_use) {
      current_channel->store(*info.channel_in_use, std::memory_order_relaxed);
      return;
    }
    if (info.probe_failure && *info.probe_failure < channel_labels.size()) {
      const std::uint64_t n = *info.probe_failure;
      if (failures.record(n, wall_now(clock))) {
        const std::string& remark = channel_labels[n];
        log.write_line(numbered_line(n, FAILURE_LINE_MIDDLE, remark));
        registry.mark_failed(remark);
      }
    }
    if (info.logged) log.write_line(line);
  };
  {
    // Whole runs of lines at once; a line is looked for " accepted " only
    // while there is a log to keep it out of.
    LineReader reader(*output);
    while (const auto lines = reader.next_lines()) {
      if (lines->ended_by_lf) {
        const bool whole = log.is_open() ? scan_log_lines(lines->text, true, take)
                                         : scan_log_lines_sparse(lines->text, take);
        if (!whole) break;
      } else {
        if (!is_valid_utf8(lines->text)) break;
        take(lines->text, classify_log_line(lines->text));
      }
    }
  }
  output.reset();
  log.close();
}

void watch_core_log(std::vector<std::string> channel_labels, CurrentChannel current_channel,
                    std::unique_ptr<Reader> output) {
  watch_core_log(std::move(channel_labels), std::move(current_channel), std::move(output),
                 registry::channel_registry(), system_clock(),
                 platform::join_path(platform::data_dir(), CORE_LOG_FILE));
}

}  // namespace ombrel::serving
