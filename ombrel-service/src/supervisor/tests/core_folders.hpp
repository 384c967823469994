#pragma once
// An installation folder with the stand-in cores and a data folder of its
// own, so that a test's cores, "tunnel.json" and logs never meet another's.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files/files.hpp"
#include "platform/process/proclist.hpp"
#include "supervisor/launch.hpp"
#include "testsupport.hpp"

namespace ombrel::supervisor::testing {

using namespace ombrel::testsupport;

struct CoreFolders {
  InstallDir install{"ядра"};
  TempDir data{"данные"};

  // Nobody listens on the launches' ports: the real ports are another
  // test's to hold (the real proxy core's), and their check is the
  // platform's and the running service's tests' business.
  CoreEnvironment env() const {
    CoreEnvironment env{install.path(), data.path()};
    env.listeners = [](std::span<const std::uint16_t>) {
      return Result<std::vector<platform::PortListener>>{};
    };
    return env;
  }
  std::string data_file(std::string_view name) const { return data.file(name); }
  std::string tunnel_document() const { return data_file(TUNNEL_DOCUMENT_FILE); }
  std::string tunnel_log() const { return data_file(TUNNEL_LOG_FILE); }
  std::string tunnel_prev_log() const { return data_file(TUNNEL_PREV_LOG_FILE); }
};

inline CoreLaunch proxy_launch(std::string display = "Нидерланды") {
  CoreLaunch launch;
  launch.xray_config = "{\n  \"inbounds\": []\n}";
  launch.display_label = std::move(display);
  launch.channel_labels = {"Германия", "Финляндия"};
  launch.channel_remarks = {"Германия app_de1", "Финляндия app_fi2"};
  launch.proxy_port = 10808;
  launch.local_ports = {10808, 10809};
  return launch;
}

inline CoreLaunch tunnel_launch(std::string display = "Нидерланды") {
  CoreLaunch launch = proxy_launch(std::move(display));
  launch.singbox_config = "{\n  \"inbounds\": [\n    \"tun\"\n  ]\n}";
  launch.proxy_port.reset();
  launch.local_ports = {10820};
  return launch;
}

inline bool is_running(std::uint32_t pid) {
  auto all = platform::list_processes();
  return all && std::any_of(all->begin(), all->end(),
                            [&](const platform::ProcessEntry& p) { return p.pid == pid; });
}

inline std::vector<std::uint32_t> pids_of(const RunningCores& cores) {
  std::vector<std::uint32_t> pids{cores.xray.pid()};
  if (cores.singbox) pids.push_back(cores.singbox->pid());
  return pids;
}

// True once none of `pids` runs (nor lingers unreaped).
inline bool all_gone(const std::vector<std::uint32_t>& pids) {
  return wait_until(
      [&] {
        auto all = platform::list_processes();
        return all && std::none_of(all->begin(), all->end(), [&](const platform::ProcessEntry& p) {
                 return std::find(pids.begin(), pids.end(), p.pid) != pids.end();
               });
      },
      10s);
}

inline std::string read_or_empty(const std::string& path) {
  return platform::read_file(path).value_or("");
}

}  // namespace ombrel::supervisor::testing
