#include "registry/registry.hpp"

#include <algorithm>

#include "platform/datadir.hpp"
#include "platform/files.hpp"
#include "platform/paths.hpp"

namespace ombrel::registry {

namespace {

std::uint64_t cutoff(std::uint64_t now, std::uint64_t ttl) {
  return now > ttl ? now - ttl : 0;
}

void prune(TimeMap& map, std::uint64_t oldest) {
  std::erase_if(map, [&](const auto& entry) { return entry.second < oldest; });
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
  maps_ = std::move(stored);
}

void ChannelRegistry::save() {
  const std::string doc = write_stored(maps_);
  // Nothing is written into a folder that others could change.
  if (!platform::ensure_private_dir(platform::parent_path(path_))) return;
  (void)platform::replace_file_atomically(path_, temp_path_, doc);
}

void ChannelRegistry::mark_seen(std::string_view remark) {
  if (remark.empty()) return;
  std::lock_guard lock(mutex_);
  load_once();
  const std::uint64_t t = now();
  const std::string key(remark);
  maps_.failed.erase(key);
  const auto [it, inserted] = maps_.seen.insert_or_assign(key, t);
  (void)it;
  // The save interval is counted from the last save of mark_seen; a clock
  // that went back counts as no time passed.
  if (inserted || (t > last_save_ ? t - last_save_ : 0) >= SEEN_SAVE_INTERVAL_MS) {
    last_save_ = t;
    save();
  }
}

void ChannelRegistry::mark_failed(std::string_view remark) {
  if (remark.empty()) return;
  std::lock_guard lock(mutex_);
  load_once();
  const std::string key(remark);
  maps_.seen.erase(key);
  maps_.failed.insert_or_assign(key, now());
  save();
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
