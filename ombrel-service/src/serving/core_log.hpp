#pragma once
// The proxy core's output: which numbered channel ("p0", "p1", ...; the
// outbound tags) the core last routed a connection through, which channels
// keep failing their probes, and everything else into "core-diag.log".
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.hpp"
#include "base/stream.hpp"
#include "registry/registry.hpp"

namespace ombrel::serving {

inline constexpr std::uint64_t PROBE_FAIL_WINDOW_MS = 120'000;
inline constexpr std::size_t PROBE_FAIL_LIMIT = 3;
inline constexpr std::string_view CORE_LOG_FILE = "core-diag.log";

// The channel in use of one proxy-core run: created holding NO_CHANNEL by
// the core launcher, kept in its running-cores handle and shared with that
// run's watcher, which alone stores into it. Readers load it without any
// lock and check it against their own label list before use.
using CurrentChannel = std::shared_ptr<std::atomic<std::int64_t>>;
inline constexpr std::int64_t NO_CHANNEL = -1;
CurrentChannel make_current_channel();

// What one output line tells.
struct LogLineInfo {
  // A routed connection through "p" + n: n is the channel in use, and the
  // line is neither examined further nor logged. Only numbers a signed
  // 64-bit channel can hold (a larger one would read back as negative).
  std::optional<std::int64_t> channel_in_use;
  // A failed probe of channel n; the watcher counts it only when n names
  // one of its channels.
  std::optional<std::uint64_t> probe_failure;
  // Whether the line goes to "core-diag.log": all but routed connections
  // and other lines containing " accepted ".
  bool logged = true;

  friend bool operator==(const LogLineInfo&, const LogLineInfo&) = default;
};

// Pure; `line` is one line without its line end.
LogLineInfo classify_log_line(std::string_view line);

// Probe failures of one core run: a channel that fails PROBE_FAIL_LIMIT
// probes within PROBE_FAIL_WINDOW_MS is reported once and counted afresh.
class ProbeFailures {
 public:
  // Records a failure of `channel` at `now_ms`; true when it makes the limit.
  bool record(std::uint64_t channel, std::uint64_t now_ms);

 private:
  std::map<std::uint64_t, std::vector<std::uint64_t>> times_;
};

// The watcher thread's body for one proxy-core run; returns when `output`
// ends (end of file, read error, or a line that is not UTF-8), closing it.
// `channel_labels` holds the whole remark of the node behind each channel;
// a channel that keeps failing is written to the log and reported to
// `registry.mark_failed` by that remark. The log at `log_path` is created
// or truncated; its folder is created first. `registry` and `clock` must
// outlive the call. Reports nothing: file errors are ignored.
void watch_core_log(std::vector<std::string> channel_labels, CurrentChannel current_channel,
                    std::unique_ptr<Reader> output, registry::ChannelRegistry& registry,
                    const Clock& clock, const std::string& log_path);

// The service's watcher: the process-wide registry, the system clock, and
// "core-diag.log" in the data folder.
void watch_core_log(std::vector<std::string> channel_labels, CurrentChannel current_channel,
                    std::unique_ptr<Reader> output);

}  // namespace ombrel::serving
