#include "serving/line_reader.hpp"

#include <cstring>

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

std::optional<std::string_view> LineReader::next_line() {
  pending_.clear();
  while (!ended_) {
    const char* begin = buf_.get() + begin_;
    const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', end_ - begin_));
    if (lf != nullptr) {
      const std::size_t len = static_cast<std::size_t>(lf - begin);
      begin_ += len + 1;
      // Most lines lie whole in the buffer and are handed out without a copy.
      if (pending_.empty()) return finish(std::string_view(begin, len), true, buffer_ascii_);
      pending_.append(begin, len);
      return finish(pending_, true, false);
    }
    pending_.append(begin, end_ - begin_);
    begin_ = end_ = 0;
    const auto n = input_.read(std::span<char>(buf_.get(), BUFFER_SIZE));
    if (!n || *n == 0) {
      ended_ = true;
      if (n && !pending_.empty()) return finish(pending_, false, false);
      return std::nullopt;
    }
    end_ = *n;
    // Core output is nearly always ASCII: one check per read instead of
    // one per line.
    buffer_ascii_ = scan::is_ascii(std::string_view(buf_.get(), end_));
  }
  return std::nullopt;
}

}  // namespace ombrel::serving
