#include "supervisor/orphans.hpp"

#include <algorithm>
#include <string_view>

#include "platform/files/paths.hpp"
#include "platform/process/proclist.hpp"
#include "supervisor/launch.hpp"

namespace ombrel::supervisor {
namespace {

// The cores are known by the same file names the launcher starts them by.
constexpr std::string_view CORE_FILES[] = {PROXY_CORE_FILE, TUNNEL_CORE_FILE};

std::string ascii_lower(std::string text) {
  // The names looked for are ASCII, and no non-ASCII letter lower-cases to
  // an ASCII one that could make a different name equal to them.
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::vector<std::uint32_t> find_processes_by_name(const std::vector<std::string>& names) {
  std::vector<std::uint32_t> pids;
  auto processes = platform::list_processes();
  if (!processes) return pids;
  for (const platform::ProcessEntry& p : *processes) {
    const std::string name = ascii_lower(p.exe_name);
    if (std::find(names.begin(), names.end(), name) != names.end()) pids.push_back(p.pid);
  }
  return pids;
}

std::size_t kill_orphan_cores() {
  auto exe = platform::current_exe_path();
  if (!exe) return 0;
  const std::string dir = platform::parent_path(*exe);
  if (dir.empty()) return 0;
  // The proxy core's own account holds nothing but cores and what they
  // started: all of it is left over, whatever its program.
  return kill_orphan_cores_in(dir) + platform::end_leftover_core_processes();
}

std::size_t kill_orphan_cores_in(const std::string& install_dir) {
  // Resolving a missing file fails, so only cores actually present remain.
  std::vector<std::string> cores;
  for (const std::string_view name : CORE_FILES) {
    if (auto path = platform::canonical_path(platform::join_path(install_dir, name))) {
      cores.push_back(std::move(*path));
    }
  }
  if (cores.empty()) return 0;

  std::size_t count = 0;
  for (const std::uint32_t pid :
       find_processes_by_name({std::string(CORE_FILES[0]), std::string(CORE_FILES[1])})) {
    // Looked at and ended through one handle: a process id reused meanwhile
    // can never be hit.
    auto process = platform::HeldProcess::open(pid);
    if (!process) continue;  // gone meanwhile, or not ours to end
    // A user's own copy of the installed core is theirs, not a leftover.
    if (!process->runs_as_this_account().value_or(false)) continue;
    auto image = process->image_path();
    if (!image) continue;
    auto canonical = platform::canonical_path(*image);
    if (!canonical) continue;
    const bool ours = std::any_of(cores.begin(), cores.end(), [&](const std::string& core) {
      return platform::same_path(*canonical, core);
    });
    if (ours && process->terminate(1)) ++count;
  }
  return count;
}

std::string orphan_cleanup_line(std::size_t count) {
  if (count == 0) return {};
  return "добито осиротевших ядер: " + std::to_string(count) + "\n";
}

}  // namespace ombrel::supervisor
