#pragma once
// Which nodes worked recently and which just failed, kept across connections
// and service restarts in "channels.json". A node is its remark, compared
// byte for byte.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.hpp"
#include "registry/stored.hpp"

namespace ombrel::registry {

inline constexpr std::uint64_t SEEN_TTL_MS = 604'800'000;       // 7 days
inline constexpr std::uint64_t FAILED_TTL_MS = 3'600'000;       // 1 hour
inline constexpr std::uint64_t SEEN_SAVE_INTERVAL_MS = 60'000;  // 1 minute
inline constexpr std::string_view CHANNELS_FILE = "channels.json";
// Bounds that keep the registry small whatever clients send: a longer remark
// is not remembered at all (the node still connects, without a history), and
// each of the two lists makes room for a new remark by dropping its oldest.
inline constexpr std::size_t MAX_REMARK_BYTES = 1024;
inline constexpr std::size_t MAX_ENTRIES = 1024;
// Failed marks come in bursts (a core that reports every node at once): a
// mark waits this long for the others of its burst, and they reach the file
// in one write.
inline constexpr std::chrono::milliseconds FAILED_SAVE_INTERVAL{1000};

// The file a save writes before moving it over `path`: the extension
// replaced by "json.tmp" ("channels.json" -> "channels.json.tmp").
std::string temp_path_for(const std::string& path);

// Every operation takes the registry's own lock for its whole duration,
// including the file write, and loads the file on the first call. Callers
// may hold the service state lock; the registry takes no other lock.
class ChannelRegistry {
 public:
  // `path` is the registry file; `clock` must outlive the registry.
  ChannelRegistry(std::string path, const Clock& clock);
  // Writes the marks still waiting and stops the saver.
  ~ChannelRegistry();
  ChannelRegistry(const ChannelRegistry&) = delete;
  ChannelRegistry& operator=(const ChannelRegistry&) = delete;

  // The node is carrying traffic: it leaves `failed` and is seen now. The
  // file is written at once for a node new to `seen`, otherwise at most once
  // per SEEN_SAVE_INTERVAL_MS. An empty remark is ignored.
  void mark_seen(std::string_view remark);
  // The node failed its probes: it leaves `seen` and is failed now. The file
  // is written once the oldest mark not yet written has waited
  // FAILED_SAVE_INTERVAL, by the registry's own saver thread (started with
  // the first mark) or by whichever call comes first after that, so a burst
  // goes out in one write, writes are at least that far apart, and a crash
  // loses at most that interval. An empty remark is ignored.
  void mark_failed(std::string_view remark);
  // Writes the waiting marks once the oldest of them has waited
  // FAILED_SAVE_INTERVAL. The watchdog calls it every cycle for the one case
  // the saver thread misses: the thread could not be started.
  void save_pending();
  // Writes the marks still waiting, now: at the service's stop.
  void flush();
  // Remarks seen within SEEN_TTL_MS, in no particular order.
  std::vector<std::string> recent_seen();
  // Remarks failed within FAILED_TTL_MS, in no particular order.
  std::vector<std::string> recent_failed();

  const std::string& path() const { return path_; }

 private:
  std::uint64_t now() const;
  void load_once();
  // Drops expired entries, then writes both maps.
  void save();
  bool failed_save_due() const;
  // The saver thread: writes the waiting marks when they are due, until
  // the registry is destroyed.
  void run_saver();
  void start_saver();

  const std::string path_;
  const std::string temp_path_;
  const Clock& clock_;
  std::mutex mutex_;
  Stored maps_;
  std::uint64_t last_save_ = 0;
  // When the oldest mark that the file does not hold yet was made, on the
  // monotonic clock; empty when the file holds every mark.
  std::optional<std::chrono::steady_clock::time_point> pending_since_;
  bool loaded_ = false;
  // Wakes the saver when a mark starts to wait or the registry goes.
  std::condition_variable saver_wake_;
  bool stopping_ = false;
  std::thread saver_;
};

// The service's registry: "channels.json" in the data folder, the system
// clock. Created on first use, lives until the process exits.
ChannelRegistry& channel_registry();

}  // namespace ombrel::registry
