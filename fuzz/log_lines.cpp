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
#include "core_output.hpp"
#include "serving/core_log.hpp"
#include "serving/line_reader.hpp"
#include "serving/log_scan.hpp"

namespace {

using namespace ombrel;

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
  const fuzz::CoreOutput output =
      fuzz::split_input(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view all = output.stream;
  fuzz::PieceReader input(output);
  serving::LineReader reader(input);
  const std::vector<std::string> expected = fuzz::plain_lines(all);
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
