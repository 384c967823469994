#pragma once
// Lines of a core's output. A line ends at a line feed; the line feed and
// then one carriage return before it are removed. The last line of the
// stream counts even without a line feed (and then keeps any carriage return).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/stream.hpp"

namespace ombrel::serving {

class LineReader {
 public:
  static constexpr std::size_t BUFFER_SIZE = 8192;

  // `input` must outlive the reader.
  explicit LineReader(Reader& input);

  // The next line, valid until the next call; nullopt at the end of the
  // stream, on a read error, and at a line that is not valid UTF-8. Once it
  // has returned nullopt it always does.
  std::optional<std::string_view> next_line();

 private:
  std::optional<std::string_view> finish(std::string_view line, bool ended_by_lf, bool known_ascii);
  // The position of the first line feed at or after begin_, else end_.
  std::size_t next_line_feed() const;

  Reader& input_;
  std::unique_ptr<char[]> buf_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  // A line that spans more than one read.
  std::string pending_;
  // Where the buffer's current content has its line feeds, one bit a byte.
  std::uint64_t line_feeds_[BUFFER_SIZE / 64] = {};
  // Every byte of the buffer's current content is ASCII.
  bool buffer_ascii_ = false;
  bool ended_ = false;
};

}  // namespace ombrel::serving
