#include "registry/registry.hpp"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"

namespace ombrel::registry {

namespace {

std::uint64_t cutoff(std::uint64_t now, std::uint64_t ttl) {
  return now > ttl ? now - ttl : 0;
}

void prune(TimeMap& map, std::uint64_t oldest) {
  std::erase_if(map, [&](const auto& entry) { return entry.second < oldest; });
}

bool rememberable(std::string_view remark) {
  return !remark.empty() && remark.size() <= MAX_REMARK_BYTES;
}

// Sets the remark's time; a remark new to a full map takes the place of the
// oldest entry.
void remember(TimeMap& map, const std::string& remark, std::uint64_t time) {
  if (auto it = map.find(remark); it != map.end()) {
    it->second = time;
    return;
  }
  if (map.size() >= MAX_ENTRIES) {
    map.erase(std::min_element(map.begin(), map.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; }));
  }
  map.emplace(remark, time);
}

// What a file may bring in beyond the bounds (written by hand, or by an
// older build) is cut to them: long remarks go, and the newest entries stay.
void bound(TimeMap& map) {
  std::erase_if(map, [](const auto& entry) { return !rememberable(entry.first); });
  if (map.size() <= MAX_ENTRIES) return;
  std::vector<std::pair<std::uint64_t, std::string>> by_age;
  by_age.reserve(map.size());
  for (auto& [remark, time] : map) by_age.emplace_back(time, remark);
  std::nth_element(by_age.begin(), by_age.begin() + MAX_ENTRIES, by_age.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (auto it = by_age.begin() + MAX_ENTRIES; it != by_age.end(); ++it) map.erase(it->second);
}

std::vector<std::string> remarks_since(const TimeMap& map, std::uint64_t oldest) {
  std::vector<std::string> out;
  for (const auto& [remark, time] : map) {
    if (time >= oldest) out.push_back(remark);
  }
  return out;
}

}  // namespace

std::string temp_path_for(const std::string& path) {
  const auto name = path.find_last_of(std::string_view("/\\")) + 1;  // npos + 1 == 0
  const auto dot = path.rfind('.');
  const bool has_extension = dot != std::string::npos && dot > name;
  return (has_extension ? path.substr(0, dot) : path) + ".json.tmp";
}

ChannelRegistry::ChannelRegistry(std::string path, const Clock& clock)
    : path_(std::move(path)), temp_path_(temp_path_for(path_)), clock_(clock) {}

ChannelRegistry::~ChannelRegistry() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    try {
      if (pending_since_) save();
    } catch (...) {
      // Out of memory while writing: the marks go with the registry.
    }
  }
  saver_wake_.notify_all();
  if (saver_.joinable()) saver_.join();
}

std::uint64_t ChannelRegistry::now() const {
  const std::int64_t ms = clock_.wall_ms();
  return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

void ChannelRegistry::load_once() {
  if (loaded_) return;
  // Set first: a file that cannot be read is not tried again.
  loaded_ = true;
  // A registry in a folder that others could have prepared is not theirs
  // to hand us: such a folder is moved aside first, and read from only
  // once it is the service's own.
  if (!platform::ensure_private_dir(platform::parent_path(path_))) return;
  const auto text = platform::read_file(path_);
  if (!text) return;
  Stored stored = read_stored(*text);
  const std::uint64_t t = now();
  prune(stored.seen, cutoff(t, SEEN_TTL_MS));
  prune(stored.failed, cutoff(t, FAILED_TTL_MS));
  bound(stored.seen);
  bound(stored.failed);
  maps_ = std::move(stored);
}

void ChannelRegistry::save() {
  // Entries past their time stay until the next start prunes them; the
  // bound on each map keeps a service that runs for weeks small all the same.
  pending_since_.reset();
  const std::string doc = write_stored(maps_);
  // Nothing is written into a folder that others could change.
  if (!platform::ensure_private_dir(platform::parent_path(path_))) return;
  (void)platform::replace_file_atomically(path_, temp_path_, doc);
}

bool ChannelRegistry::failed_save_due() const {
  return pending_since_ && clock_.monotonic() - *pending_since_ >= FAILED_SAVE_INTERVAL;
}

void ChannelRegistry::mark_seen(std::string_view remark) {
  if (!rememberable(remark)) return;
  std::lock_guard lock(mutex_);
  load_once();
  const std::uint64_t t = now();
  const std::string key(remark);
  maps_.failed.erase(key);
  const bool inserted = !maps_.seen.contains(key);
  remember(maps_.seen, key, t);
  // The save interval is counted from the last save of mark_seen; a clock
  // that went back counts as no time passed.
  if (inserted || (t > last_save_ ? t - last_save_ : 0) >= SEEN_SAVE_INTERVAL_MS) {
    last_save_ = t;
    save();
  }
}

void ChannelRegistry::mark_failed(std::string_view remark) {
  if (!rememberable(remark)) return;
  std::lock_guard lock(mutex_);
  load_once();
  const std::string key(remark);
  maps_.seen.erase(key);
  remember(maps_.failed, key, now());
  if (!pending_since_) {
    pending_since_ = clock_.monotonic();
    start_saver();
    saver_wake_.notify_one();
  }
  if (failed_save_due()) save();
}

void ChannelRegistry::start_saver() {
  if (saver_.joinable()) return;
  try {
    saver_ = std::thread([this] { run_saver(); });
  } catch (const std::system_error&) {
    // No thread to be had: the watchdog's save_pending still writes the
    // marks, only a cycle later.
  }
}

void ChannelRegistry::run_saver() {
  using namespace std::chrono_literals;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (pending_since_ && failed_save_due()) {
      save();
      continue;
    }
    // Every wait is bounded, even with nothing waiting: a wake-up that went
    // astray costs at most a second, never a hang. The time left is counted
    // on the registry's clock, which a test may hold still: the floor keeps
    // the thread from spinning on it.
    auto wait = FAILED_SAVE_INTERVAL;
    if (pending_since_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          FAILED_SAVE_INTERVAL - (clock_.monotonic() - *pending_since_));
      wait = std::clamp(left, std::chrono::milliseconds(10), FAILED_SAVE_INTERVAL);
    }
    saver_wake_.wait_for(lock, wait);
  }
}

void ChannelRegistry::save_pending() {
  std::lock_guard lock(mutex_);
  if (failed_save_due()) save();
}

void ChannelRegistry::flush() {
  std::lock_guard lock(mutex_);
  if (pending_since_) save();
}

std::vector<std::string> ChannelRegistry::recent_seen() {
  std::lock_guard lock(mutex_);
  load_once();
  return remarks_since(maps_.seen, cutoff(now(), SEEN_TTL_MS));
}

std::vector<std::string> ChannelRegistry::recent_failed() {
  std::lock_guard lock(mutex_);
  load_once();
  return remarks_since(maps_.failed, cutoff(now(), FAILED_TTL_MS));
}

ChannelRegistry& channel_registry() {
  static ChannelRegistry registry(platform::join_path(platform::data_dir(), CHANNELS_FILE),
                                  system_clock());
  return registry;
}

}  // namespace ombrel::registry
