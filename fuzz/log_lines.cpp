// The proxy core's output as the log watcher sees it: bytes arriving in
// pieces of any size, split into lines and classified. The line reader must
// give the same lines as a plain split, whatever the piece sizes, the
// classification of each line must never crash, and the sparse scan must
// keep what the full scan keeps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/stream.hpp"
#include "base/text.hpp"
#include "serving/core_log.hpp"
#include "serving/line_reader.hpp"
#include "serving/log_scan.hpp"

namespace {

using namespace ombrel;

// Hands out the stream in pieces whose sizes come from the input itself.
class PieceReader final : public Reader {
 public:
  PieceReader(std::string_view bytes, std::string_view sizes) : bytes_(bytes), sizes_(sizes) {}

  Result<std::size_t> read(std::span<char> buf) override {
    std::size_t want = buf.size();
    if (!sizes_.empty()) {
      const auto s = static_cast<unsigned char>(sizes_[next_++ % sizes_.size()]);
      // Mostly small pieces, now and then a whole buffer.
      want = s == 0xff ? buf.size() : std::min<std::size_t>(buf.size(), s * 37 % 9000 + 1);
    }
    const std::size_t n = std::min(want, bytes_.size());
    std::memcpy(buf.data(), bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
  std::string_view sizes_;
  std::size_t next_ = 0;
};

// The rules of the line reader, written plainly.
std::vector<std::string> plain_lines(std::string_view s) {
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
    // A line over the reader's cap is cut, short of a character the cut
    // would split; the rest of it is skipped unread.
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

// What the watcher keeps of whole lines: the last routed channel and every
// probe failure, in order.
struct Kept {
  std::int64_t channel = serving::NO_CHANNEL;
  std::vector<std::uint64_t> probes;
  bool whole = false;
  bool operator==(const Kept&) const = default;
};

template <class Scan>
Kept kept_by(Scan scan) {
  Kept kept;
  kept.whole = scan([&](std::string_view, const serving::LogLineInfo& info) {
    if (info.channel_in_use) {
      kept.channel = *info.channel_in_use;
    } else if (info.probe_failure) {
      kept.probes.push_back(*info.probe_failure);
    }
  });
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  // The first bytes up to a NUL choose the piece sizes; the rest is the stream.
  std::string_view sizes;
  if (const std::size_t nul = all.find('\0'); nul != std::string_view::npos && nul < 16) {
    sizes = all.substr(0, nul);
    all.remove_prefix(nul + 1);
  }

  PieceReader input(all, sizes);
  serving::LineReader reader(input);
  const std::vector<std::string> expected = plain_lines(all);
  serving::ProbeFailures failures;
  std::uint64_t now = 0;
  std::size_t i = 0;
  while (auto line = reader.next_line()) {
    if (i >= expected.size() || *line != expected[i]) std::abort();
    ++i;
    const serving::LogLineInfo info = serving::classify_log_line(*line);
    if (info.channel_in_use && (*info.channel_in_use < 0 || info.logged)) std::abort();
    if (info.probe_failure) failures.record(*info.probe_failure % 16, now += 7'000);
  }
  if (i != expected.size()) std::abort();
  if (reader.next_line()) std::abort();

  // A watcher whose log is closed takes the sparse way through whole lines;
  // it must keep what the full way keeps.
  if (const std::size_t lf = all.rfind('\n'); lf != std::string_view::npos) {
    const std::string_view text = all.substr(0, lf + 1);
    const Kept full =
        kept_by([&](auto visit) { return serving::scan_log_lines(text, false, visit); });
    const Kept sparse =
        kept_by([&](auto visit) { return serving::scan_log_lines_sparse(text, visit); });
    if (!(full == sparse)) std::abort();
  }
  return 0;
}
