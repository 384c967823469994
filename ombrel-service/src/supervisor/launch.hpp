#pragma once
// Starting and stopping one set of cores: the proxy core with its document
// on standard input, and in tunnel mode the tunnel core pointed at
// "tunnel.json". A `RunningCores` ends its processes when dropped, tunnel
// core first, so a handle that is replaced or discarded never leaves a core
// running.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "platform/channel/ports.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/process/process.hpp"
#include "platform/process/program_file.hpp"
#include "serving/core_log.hpp"

namespace ombrel::supervisor {

inline constexpr platform::ProgramFile PROXY_CORE_PROGRAM{"xray"};
inline constexpr platform::ProgramFile TUNNEL_CORE_PROGRAM{"sing-box"};
inline constexpr std::string_view PROXY_CORE_FILE = PROXY_CORE_PROGRAM.view();
inline constexpr std::string_view TUNNEL_CORE_FILE = TUNNEL_CORE_PROGRAM.view();
inline constexpr std::string_view TUNNEL_DOCUMENT_FILE = "tunnel.json";
inline constexpr std::string_view TUNNEL_LOG_FILE = "tunnel-diag.log";
inline constexpr std::string_view TUNNEL_PREV_LOG_FILE = "tunnel-diag.prev.log";

// Everything needed to start one set of cores; kept as the wanted
// connection and copied for every restart.
struct CoreLaunch {
  std::string xray_config;
  // Shown as the active node while no channel has been seen in use.
  std::string display_label;
  // The short label (remark cut at " app_") of the node behind channel i
  // ("p" + i): what the status reply shows.
  std::vector<std::string> channel_labels;
  // The whole remark of the node behind channel i: the node's identity for
  // the registry and the core log.
  std::vector<std::string> channel_remarks;
  std::optional<std::string> singbox_config;
  std::optional<std::uint16_t> proxy_port;
  // The ports on 127.0.0.1 that the documents name: the proxy core listens
  // there, and in tunnel mode the tunnel core sends everything there. No
  // other process may hold one when the cores start.
  std::vector<std::uint16_t> local_ports;
  friend bool operator==(const CoreLaunch&, const CoreLaunch&) = default;
};

// Whether the proxy core still starts in an account of its own during this
// run (Windows: LocalService, see `SpawnOptions::unprivileged`). The first
// refusal is said, once, in the service's log and the Application log:
// "ядро прокси запущено от имени службы: {why}". From then on the core
// starts as the service for the rest of the run, so that every later start
// neither repeats a logon that fails the same way nor loses the tunnel to a
// core that dies in its start.
class CoreAccountFallback {
 public:
  bool taken() const noexcept { return taken_.load(); }
  // Whether it was taken for a core that ended in its start in its own
  // account: the start that saw it is made again, as the service. When the
  // account was refused at the creation, the core already runs as the
  // service and nothing is made again.
  bool ended_in_start() const noexcept { return ended_in_start_.load(); }
  // Takes the fall-back for the rest of the run; the first call says `why`.
  void take(const Error& why, bool ended_in_start = false);
  // Tests: where the line goes instead of the logs.
  std::function<void(const std::string& line)> say;

 private:
  std::atomic<bool> taken_{false};
  std::atomic<bool> ended_in_start_{false};
};

// The process's own: the one the service's starts share.
CoreAccountFallback& core_account_fallback();

// A started set of cores.
struct RunningCores {
  platform::Process xray;
  std::optional<platform::Process> singbox;
  std::string display_label;
  std::vector<std::string> channel_labels;
  std::vector<std::string> channel_remarks;
  std::chrono::steady_clock::time_point started_at;
  serving::CurrentChannel current_channel;
  std::optional<std::uint16_t> proxy_port;
  // Whether the proxy core has written anything yet: one that ends before
  // its first output with a loader or access status, in its own account,
  // takes `fallback` when it is dropped.
  std::shared_ptr<std::atomic<bool>> xray_spoke;
  CoreAccountFallback* fallback = nullptr;

  RunningCores() = default;
  RunningCores(RunningCores&&) noexcept = default;
  RunningCores& operator=(RunningCores&& other) noexcept;
  ~RunningCores();
};

using ListenersFn = std::function<Result<std::vector<platform::PortListener>>(
    std::span<const std::uint16_t> ports)>;

// Where the cores and their files are; the service's own folders by
// default, test folders in tests.
struct CoreEnvironment {
  // The folder that holds the cores; empty means the service's own folder.
  std::string install_dir;
  // The data folder for "tunnel.json" and the logs; empty means the
  // service's data folder.
  std::string data_dir;
  // How long one call on a file that others may open (the core images,
  // "tunnel.json", the tunnel logs) may wait; all of them together, three
  // times as long. A file that runs over fails the start:
  // "{path} не ответил за {span}".
  std::chrono::milliseconds file_stall = platform::SHARED_FILE_STALL;
  // Called with each such file's path just before its call, inside its
  // bound; tests stall there.
  std::function<void(const std::string& path)> at_file = {};
  // Who listens on the launch's ports; empty means the system's answer.
  ListenersFn listeners = {};
  // Whether the proxy core still starts in its own account; null means the
  // process's (`core_account_fallback`).
  CoreAccountFallback* account_fallback = nullptr;
};

// Fails with "порт 127.0.0.1:{port} занят другим процессом ({pid})" when
// another process listens where the launch's cores are to be reached.
// Called before the cores are made, so any listener is another's, except
// one of the proxy core's own account (Linux), which is what an earlier
// core of this service left: such processes are ended and the ports looked
// at again.
Result<void> check_local_ports(const CoreLaunch& launch, const CoreEnvironment& env = {});

Result<std::string> locate_core(std::string_view file_name, const CoreEnvironment& env = {});
Result<RunningCores> start_cores(const CoreLaunch& launch, const CoreEnvironment& env = {});
// Ends both cores (tunnel core first) and waits for them; never fails.
void stop_cores(RunningCores cores);

}  // namespace ombrel::supervisor
