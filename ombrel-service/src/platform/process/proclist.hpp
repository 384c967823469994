#pragma once
// The system's process list, image paths and path identity: what is needed
// to find processes of our own executables that are left over from an
// earlier run (or that have to be waited for during an update).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace ombrel::platform {

struct ProcessEntry {
  std::uint32_t pid = 0;
  // The executable's file name without its folder, as the system reports it
  // (case as on disk). On Linux the name of the executable file, or the
  // kernel's short process name when the executable cannot be read.
  std::string exe_name;
};

// A snapshot of every process of the system, in the system's order.
Result<std::vector<ProcessEntry>> list_processes();

// The full path of a process's executable image (Win32 form on Windows).
Result<std::string> process_image_path(std::uint32_t pid);

std::uint32_t current_process_id();

// Ends the process `pid` with `exit_code` (SIGKILL on Linux). A process that
// is already gone is an error.
Result<void> terminate_process(std::uint32_t pid, int exit_code);

// One process held by one handle (Windows: a process handle with the rights
// to query and to terminate; Linux: a pidfd), so that what is learnt about
// it and the end it is given concern the same process: once the process id
// has been given to another process, the handle still names the first one.
class HeldProcess {
 public:
  struct Impl;

  // Opens the process `pid` for both looking and ending. Fails when it is
  // gone or may not be opened with both rights.
  static Result<HeldProcess> open(std::uint32_t pid);

  explicit HeldProcess(std::unique_ptr<Impl> impl);
  HeldProcess(HeldProcess&&) noexcept;
  HeldProcess& operator=(HeldProcess&&) noexcept;
  ~HeldProcess();

  // The full path of its executable image (Win32 form on Windows).
  Result<std::string> image_path() const;
  // Whether it runs under this process's own account: the user of both
  // process tokens on Windows, or LocalService, the proxy core's, when this
  // process is the system account that starts it so; on Linux its real and
  // effective user ids are both this process's effective user id, or both
  // that of the account its unprivileged children run as
  // (`known_core_account`).
  Result<bool> runs_as_this_account() const;
  // Ends it with `exit_code` (SIGKILL on Linux).
  Result<void> terminate(int exit_code) const;

 private:
  std::unique_ptr<Impl> impl_;
};

// Ends what is left of the proxy core's own account from an earlier run:
// every process of it (Linux, service run as root, with the account known
// from $OMBREL_CORE_USER or the data folder's record). Returns how many
// there were. Windows: 0; the service's job ends a core's processes with it.
std::size_t end_leftover_core_processes();

// Whether the process `pid` runs as that account (its real user id), so
// that it is the service's own core or something a core started. Windows:
// false.
bool runs_as_core_account(std::uint32_t pid);

// The canonical full path of an existing file or folder: links and relative
// parts resolved; on Windows the final path without the "\\?\" prefix.
Result<std::string> canonical_path(const std::string& path);

// Whether two canonical paths name the same file, compared component by
// component: case-insensitively on Windows (as the file system does), byte
// for byte on Linux.
bool same_path(const std::string& a, const std::string& b);

}  // namespace ombrel::platform
