#pragma once
// Lines of a core's output. A line ends at a line feed; the line feed and
// then one carriage return before it are removed. The last line of the
// stream counts even without a line feed (and then keeps any carriage return).
// A line longer than MAX_LINE_BYTES is cut to its first MAX_LINE_BYTES bytes
// (less a character the cut would split) and the rest of it, up to its line
// feed, is skipped unread: a core that prints without line feeds never makes
// the reader hold more than that.
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "base/stream.hpp"

namespace ombrel::serving {

class LineReader {
 public:
  // Bytes asked for per read.
  static constexpr std::size_t BUFFER_SIZE = 8192;
  static constexpr std::size_t MAX_LINE_BYTES = 65536;

  // `input` must outlive the reader.
  explicit LineReader(Reader& input);

  // The next line, valid until the next call; nullopt at the end of the
  // stream, on a read error, and at a line that is not valid UTF-8. Once it
  // has returned nullopt it always does.
  std::optional<std::string_view> next_line();

  // What `next_lines` hands out: either whole lines, each with its line feed
  // (and any carriage return before it), or one line without a line feed
  // (the stream's last, or a cut one) to be taken as it is.
  struct Lines {
    std::string_view text;
    bool ended_by_lf = true;
  };

  // All the whole lines the buffer holds, at once, for callers that split
  // them themselves; valid until the next call. Not checked for UTF-8.
  // nullopt at the end of the stream and on a read error. Not to be mixed
  // with next_line.
  std::optional<Lines> next_lines();

 private:
  Reader& input_;
  // Room for the longest line kept and one read after it.
  std::unique_ptr<char[]> buf_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  // The lines next_line walks through.
  Lines lines_;
  // Dropping the rest of a cut line, up to its line feed.
  bool skipping_ = false;
  // The bytes after a cut line may hold whole lines already.
  bool unsplit_ = false;
  bool ended_ = false;
};

}  // namespace ombrel::serving
