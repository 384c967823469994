#pragma once
// A proxy core's output for the fuzz targets: the input split into piece
// sizes and the stream, handed out in those pieces, and the lines a plain
// reading of the stream gives, to hold the watcher's short cuts against.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/stream.hpp"
#include "base/text.hpp"
#include "serving/line_reader.hpp"

namespace ombrel::fuzz {

// The fuzz input: the first bytes up to a NUL (fewer than sixteen) choose
// the piece sizes; the rest is the stream.
struct CoreOutput {
  std::string_view sizes;
  std::string_view stream;
};

inline CoreOutput split_input(std::string_view all) {
  if (const std::size_t nul = all.find('\0'); nul != std::string_view::npos && nul < 16) {
    return {all.substr(0, nul), all.substr(nul + 1)};
  }
  return {{}, all};
}

// Hands out the stream in pieces whose sizes come from the input itself:
// mostly small, now and then a whole buffer.
class PieceReader final : public Reader {
 public:
  explicit PieceReader(CoreOutput output) : bytes_(output.stream), sizes_(output.sizes) {}

  Result<std::size_t> read(std::span<char> buf) override {
    std::size_t want = buf.size();
    if (!sizes_.empty()) {
      const auto s = static_cast<unsigned char>(sizes_[next_++ % sizes_.size()]);
      want = s == 0xff ? buf.size() : std::min<std::size_t>(buf.size(), s * 37 % 9000 + 1);
    }
    const std::size_t n = std::min(want, bytes_.size() - at_);
    std::memcpy(buf.data(), bytes_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string bytes_;
  std::string sizes_;
  std::size_t at_ = 0;
  std::size_t next_ = 0;
};

// The rules of the line reader, written plainly: lines end at a line feed
// (one carriage return before it dropped), the last one may lack it, a line
// over the cap is cut short of a character the cut would split, and the
// reading stops at a line that is not UTF-8.
inline std::vector<std::string> plain_lines(std::string_view s) {
  std::vector<std::string> out;
  while (!s.empty()) {
    const std::size_t lf = s.find('\n');
    std::string line(s.substr(0, lf));
    if (lf == std::string_view::npos) {
      s = {};
    } else {
      s.remove_prefix(lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    if (constexpr std::size_t cap = serving::LineReader::MAX_LINE_BYTES; line.size() > cap) {
      std::size_t cut = cap;
      for (std::size_t back = 0; back < 4; ++back) {
        if ((static_cast<unsigned char>(line[cap - back]) & 0xC0) != 0x80) {
          cut = cap - back;
          break;
        }
      }
      line.resize(cut);
    }
    if (!is_valid_utf8(line)) break;
    out.push_back(std::move(line));
  }
  return out;
}

}  // namespace ombrel::fuzz
