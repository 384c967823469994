#include "serving/line_reader.hpp"

#include <cstring>

#include "base/text.hpp"
#include "serving/scan.hpp"

namespace ombrel::serving {

namespace {

// Where to cut `line` at `at` bytes without splitting a character: back over
// at most three continuation bytes, else right at `at` (the bytes are not
// UTF-8 anyway).
std::size_t character_boundary(std::string_view line, std::size_t at) {
  for (std::size_t back = 0; back < 4 && back < at; ++back) {
    if ((static_cast<unsigned char>(line[at - back]) & 0xC0) != 0x80) return at - back;
  }
  return at;
}

}  // namespace

LineReader::LineReader(Reader& input)
    : input_(input), buf_(new char[MAX_LINE_BYTES + BUFFER_SIZE]) {}

std::optional<LineReader::Lines> LineReader::next_lines() {
  char* const buf = buf_.get();
  while (!ended_) {
    // Whole lines read along with the end of a cut one.
    if (unsplit_) {
      unsplit_ = false;
      const std::string_view rest(buf + begin_, end_ - begin_);
      const std::size_t last = scan::rfind_byte(rest, '\n');
      if (last != std::string_view::npos) {
        begin_ += last + 1;
        return Lines{rest.substr(0, last + 1), true};
      }
    }
    // What is left is the start of a line without its line feed yet; it
    // moves to the front so that the line can grow behind it.
    if (begin_ > 0) {
      std::memmove(buf, buf + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    const std::size_t kept = end_;
    const auto n = input_.read(std::span<char>(buf + end_, BUFFER_SIZE));
    if (!n || *n == 0) {
      ended_ = true;
      if (n && end_ > 0) return Lines{std::string_view(buf, end_), false};
      return std::nullopt;
    }
    end_ += *n;
    if (skipping_) {
      const void* lf = std::memchr(buf + kept, '\n', *n);
      if (lf == nullptr) {
        end_ = 0;
        continue;
      }
      skipping_ = false;
      begin_ = static_cast<std::size_t>(static_cast<const char*>(lf) - buf) + 1;
    }
    // Only the bytes just read can hold a line feed.
    const std::size_t from = kept > begin_ ? kept : begin_;
    const std::size_t last = scan::rfind_byte(std::string_view(buf + from, end_ - from), '\n');
    if (last != std::string_view::npos) {
      // Only a line begun in an earlier read can be over the cap.
      if (kept > begin_) {
        const auto* lf = static_cast<const char*>(std::memchr(buf + from, '\n', end_ - from));
        const std::string_view first(buf + begin_, static_cast<std::size_t>(lf - buf) - begin_);
        if (first.size() > MAX_LINE_BYTES) {
          begin_ += first.size() + 1;
          unsplit_ = true;
          return Lines{first.substr(0, character_boundary(first, MAX_LINE_BYTES)), false};
        }
      }
      const std::size_t stop = from + last + 1;
      const Lines lines{std::string_view(buf + begin_, stop - begin_), true};
      begin_ = stop;
      return lines;
    }
    if (end_ - begin_ > MAX_LINE_BYTES) {
      const std::string_view line(buf + begin_, end_ - begin_);
      const Lines cut{line.substr(0, character_boundary(line, MAX_LINE_BYTES)), false};
      skipping_ = true;
      begin_ = end_ = 0;
      return cut;
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> LineReader::next_line() {
  if (lines_.text.empty()) {
    const auto next = next_lines();
    if (!next) return std::nullopt;
    lines_ = *next;
  }
  std::string_view line = lines_.text;
  if (lines_.ended_by_lf) {
    const std::size_t lf = line.find('\n');
    line = line.substr(0, lf);
    lines_.text.remove_prefix(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  } else {
    lines_.text = {};
  }
  if (!scan::is_ascii(line) && !is_valid_utf8(line)) {
    ended_ = true;
    lines_.text = {};
    return std::nullopt;
  }
  return line;
}

}  // namespace ombrel::serving
