#pragma once
// The on-disk form of the channel registry, "channels.json": one compact
// object, "seen" first, then "failed", each mapping a remark to
// milliseconds since the Unix epoch. Pure: no files, no clock.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ombrel::registry {

// Remark to milliseconds since the Unix epoch.
using TimeMap = std::unordered_map<std::string, std::uint64_t>;

struct Stored {
  TimeMap seen;
  TimeMap failed;
  friend bool operator==(const Stored&, const Stored&) = default;
};

// Compact JSON, no trailing newline. Members within each map come in no
// particular order. A remark that is not UTF-8 cannot be stored and is left out.
std::string write_stored(const Stored& stored);

// Reads what write_stored writes, and more: either key may be missing. A
// document that is not a valid `Stored` (another key, a key given twice, a
// value that is not a non-negative integer) is read as the older flat form,
// one object of remark to time, which becomes `seen`. Anything else gives
// two empty maps; nothing is reported.
Stored read_stored(std::string_view text);

}  // namespace ombrel::registry
