#include "registry/stored.hpp"

#include <optional>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.hpp"

namespace ombrel::registry {

namespace {

using nlohmann::json;

// nlohmann keeps the last of two equal keys; the registry format refuses
// the document instead, so duplicates are caught while parsing.
std::optional<json> parse_with_unique_keys(std::string_view text) {
  std::vector<std::unordered_set<std::string>> open_objects;
  bool duplicate = false;
  const json::parser_callback_t watch_keys = [&](int, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
        open_objects.emplace_back();
        break;
      case json::parse_event_t::key:
        if (!open_objects.back().insert(parsed.get<std::string>()).second) duplicate = true;
        break;
      case json::parse_event_t::object_end:
        open_objects.pop_back();
        break;
      default:
        break;
    }
    return true;
  };
  try {
    json doc = json::parse(text.begin(), text.end(), watch_keys, /*allow_exceptions=*/false);
    if (doc.is_discarded() || duplicate) return std::nullopt;
    return doc;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::optional<std::uint64_t> as_time(const json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(value.get<std::int64_t>());
  }
  return std::nullopt;
}

std::optional<TimeMap> as_time_map(const json& value) {
  if (!value.is_object()) return std::nullopt;
  TimeMap out;
  out.reserve(value.size());
  for (const auto& [remark, time] : value.items()) {
    const auto t = as_time(time);
    if (!t) return std::nullopt;
    out.emplace(remark, *t);
  }
  return out;
}

std::optional<Stored> as_stored(const json& doc) {
  if (!doc.is_object()) return std::nullopt;
  Stored out;
  for (const auto& [key, value] : doc.items()) {
    TimeMap* target = key == "seen" ? &out.seen : key == "failed" ? &out.failed : nullptr;
    if (target == nullptr) return std::nullopt;
    auto map = as_time_map(value);
    if (!map) return std::nullopt;
    *target = std::move(*map);
  }
  return out;
}

std::string write_map(const TimeMap& map) {
  json obj = json::object();
  for (const auto& [remark, time] : map) {
    // JSON cannot hold such a remark faithfully; two of them could even come
    // out as the same key and make the whole file unreadable.
    if (is_valid_utf8(remark)) obj[remark] = time;
  }
  return obj.dump();
}

}  // namespace

std::string write_stored(const Stored& stored) {
  // Built by hand: a json object would put "failed" before "seen".
  return "{\"seen\":" + write_map(stored.seen) + ",\"failed\":" + write_map(stored.failed) + "}";
}

Stored read_stored(std::string_view text) {
  const auto doc = parse_with_unique_keys(text);
  if (!doc) return {};
  if (auto stored = as_stored(*doc)) return std::move(*stored);
  if (auto flat = as_time_map(*doc)) return Stored{std::move(*flat), {}};
  return {};
}

}  // namespace ombrel::registry
