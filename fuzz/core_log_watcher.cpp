// The whole log watcher over a proxy core's output that arrives in pieces of
// any size: whatever its batching and short cuts, the channel it leaves in
// use must be the one the plain line-by-line reading names (the last routed
// line's channel), and nothing may crash or overflow.
#include <unistd.h>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.hpp"
#include "base/stream.hpp"
#include "base/text.hpp"
#include "registry/registry.hpp"
#include "serving/core_log.hpp"
#include "serving/line_reader.hpp"

namespace {

using namespace ombrel;

class PieceReader final : public Reader {
 public:
  PieceReader(std::string bytes, std::string sizes)
      : bytes_(std::move(bytes)), sizes_(std::move(sizes)) {}

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

class TickingClock final : public Clock {
 public:
  std::int64_t wall_ms() const override { return now_ += 5'000; }
  std::chrono::steady_clock::time_point monotonic() const override {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(now_));
  }

 private:
  mutable std::int64_t now_ = 1'700'000'000'000;
};

// The channel in use by the plain rules: the last routed line before the
// stream ends or a line is not UTF-8.
std::int64_t plain_channel(std::string_view s) {
  std::int64_t channel = serving::NO_CHANNEL;
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
    if (const auto c = serving::classify_log_line(line).channel_in_use) channel = *c;
  }
  return channel;
}

const std::string& work_dir() {
  static const std::string dir = [] {
    auto d = std::filesystem::temp_directory_path() /
             ("ombrel-fuzz-watcher-" + std::to_string(::getpid()));
    std::filesystem::create_directories(d);
    return d.string();
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::string_view sizes;
  if (const std::size_t nul = all.find('\0'); nul != std::string_view::npos && nul < 16) {
    sizes = all.substr(0, nul);
    all.remove_prefix(nul + 1);
  }
  static TickingClock clock;
  static registry::ChannelRegistry registry(work_dir() + "/channels.json", clock);
  auto channel = serving::make_current_channel();
  serving::watch_core_log({"Германия app_de1", "Финляндия", "p2"}, channel,
                          std::make_unique<PieceReader>(std::string(all), std::string(sizes)),
                          registry, clock, work_dir() + "/core-diag.log");
  if (channel->load() != plain_channel(all)) std::abort();
  return 0;
}
