// The whole log watcher over a proxy core's output that arrives in pieces of
// any size: whatever its batching and short cuts, the channel it leaves in
// use must be the one the plain line-by-line reading names (the last routed
// line's channel), and nothing may crash or overflow.
#include <unistd.h>
#include <algorithm>
#include <atomic>
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
#include "core_output.hpp"
#include "registry/registry.hpp"
#include "serving/core_log.hpp"
#include "serving/line_reader.hpp"

namespace {

using namespace ombrel;

// Read by the registry's saver thread too.
class TickingClock final : public Clock {
 public:
  std::int64_t wall_ms() const override { return now_ += 5'000; }
  std::chrono::steady_clock::time_point monotonic() const override {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(now_.load()));
  }

 private:
  mutable std::atomic<std::int64_t> now_ = 1'700'000'000'000;
};

// The channel in use by the plain rules: the last routed line before the
// stream ends or a line is not UTF-8.
std::int64_t plain_channel(std::string_view s) {
  std::int64_t channel = serving::NO_CHANNEL;
  for (const std::string& line : fuzz::plain_lines(s)) {
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
  const fuzz::CoreOutput output =
      fuzz::split_input(std::string_view(reinterpret_cast<const char*>(data), size));
  static TickingClock clock;
  static registry::ChannelRegistry registry(work_dir() + "/channels.json", clock);
  auto channel = serving::make_current_channel();
  serving::watch_core_log({"Германия app_de1", "Финляндия", "p2"}, channel,
                          std::make_unique<fuzz::PieceReader>(output), registry, clock,
                          work_dir() + "/core-diag.log");
  if (channel->load() != plain_channel(output.stream)) std::abort();
  return 0;
}
