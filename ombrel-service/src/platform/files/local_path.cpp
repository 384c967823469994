// Judging where an offered path leads, from what the system showed of it.
#include <array>

#include "platform/files/files.hpp"

namespace ombrel::platform {

namespace {

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

bool is_local_device_path(std::string_view device_path) {
  // Named by what they are, not by what they are not: a redirector of some
  // vendor's file system must not pass for a disk because its name is new.
  constexpr std::array<std::string_view, 3> LOCAL = {"\\Device\\HarddiskVolume", "\\Device\\CdRom",
                                                     "\\Device\\Floppy"};
  for (const std::string_view prefix : LOCAL) {
    if (!starts_with_ignoring_case(device_path, prefix)) continue;
    // The device's number, then its root.
    std::size_t i = prefix.size();
    const std::size_t digits = i;
    while (i < device_path.size() && device_path[i] >= '0' && device_path[i] <= '9') ++i;
    return i > digits && (i == device_path.size() || device_path[i] == '\\');
  }
  return false;
}

bool is_local_path(std::span<const PathStep> steps) {
  if (steps.empty()) return false;
  for (const PathStep& step : steps) {
    if (step.reparse_point || step.remote || !is_local_device_path(step.device_path)) return false;
  }
  return true;
}

}  // namespace ombrel::platform
