// The installation folder is the same notion on both platforms; only the
// way to the executable's path differs.
#include "platform/files/paths.hpp"

#include <chrono>

#include "platform/files/files.hpp"

namespace ombrel::platform {

namespace {
constexpr std::string_view GONE_SUFFIX = ".gone";
}  // namespace

Result<std::string> install_dir() {
  auto exe = current_exe_path();
  if (!exe) return fail(exe.error());
  std::string dir = parent_path(*exe);
  if (dir.empty()) return fail("не определить папку установки");
  return dir;
}

std::string unused_name(const std::string& before, std::string_view after) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const std::string base = before + std::to_string(ms);
  std::string name = base + std::string(after);
  for (int n = 2; path_exists(name); ++n)
    name = base + "-" + std::to_string(n) + std::string(after);
  return name;
}

std::string gone_name(const std::string& path) {
  return unused_name(path + ".", GONE_SUFFIX);
}

bool is_gone_name(std::string_view entry, std::string_view name) {
  if (name.empty()) return entry.size() > GONE_SUFFIX.size() && entry.ends_with(GONE_SUFFIX);
  return entry.size() >= name.size() + GONE_SUFFIX.size() && entry.starts_with(name) &&
         entry[name.size()] == '.' && entry.ends_with(GONE_SUFFIX);
}

std::string_view gone_name_origin(std::string_view entry) {
  if (!is_gone_name(entry)) return {};
  const std::string_view stem = entry.substr(0, entry.size() - GONE_SUFFIX.size());
  const auto dot = stem.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : stem.substr(0, dot);
}

}  // namespace ombrel::platform
