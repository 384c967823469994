#include "serving/line_reader.hpp"

#include <bit>

#include "base/text.hpp"
#include "serving/scan.hpp"

namespace ombrel::serving {

LineReader::LineReader(Reader& input) : input_(input), buf_(new char[BUFFER_SIZE]) {}

std::optional<std::string_view> LineReader::finish(std::string_view line, bool ended_by_lf,
                                                   bool known_ascii) {
  if (ended_by_lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!known_ascii && !is_valid_utf8(line)) {
    ended_ = true;
    return std::nullopt;
  }
  return line;
}

std::size_t LineReader::next_line_feed() const {
  std::size_t word = begin_ / 64;
  std::uint64_t bits = line_feeds_[word] & (~std::uint64_t{0} << (begin_ % 64));
  const std::size_t words = (end_ + 63) / 64;
  while (bits == 0) {
    if (++word >= words) return end_;
    bits = line_feeds_[word];
  }
  return word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
}

std::optional<std::string_view> LineReader::next_line() {
  pending_.clear();
  while (!ended_) {
    if (begin_ < end_) {
      const char* begin = buf_.get() + begin_;
      const std::size_t lf = next_line_feed();
      const std::size_t len = lf - begin_;
      if (lf < end_) {
        begin_ = lf + 1;
        // Most lines lie whole in the buffer and are handed out without a copy.
        if (pending_.empty()) return finish(std::string_view(begin, len), true, buffer_ascii_);
        pending_.append(begin, len);
        return finish(pending_, true, false);
      }
      pending_.append(begin, len);
    }
    begin_ = end_ = 0;
    const auto n = input_.read(std::span<char>(buf_.get(), BUFFER_SIZE));
    if (!n || *n == 0) {
      ended_ = true;
      if (n && !pending_.empty()) return finish(pending_, false, false);
      return std::nullopt;
    }
    end_ = *n;
    // One pass per read finds every line end and tells whether the lines
    // need a full UTF-8 check (core output is nearly always ASCII).
    buffer_ascii_ = scan::index_line_feeds(buf_.get(), end_, line_feeds_);
  }
  return std::nullopt;
}

}  // namespace ombrel::serving
