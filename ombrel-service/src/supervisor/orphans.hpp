#pragma once
// Cores outlive the service when it ends without stopping them. At start the
// service ends those left over from an earlier run, but only processes whose
// executable is the very core file next to this service: a core of the same
// name started from another folder belongs to someone else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ombrel::supervisor {

// Every running process whose executable file name, lower-cased, equals one
// of `names` (given in lower case), in the order of the system's process
// list. Empty when the process list cannot be read.
std::vector<std::uint32_t> find_processes_by_name(const std::vector<std::string>& names);

// Terminates (exit code 1) leftover cores of this service's installation
// folder, that is processes running under the service's own account whose
// image is one of the two core files there, and returns how many were
// terminated. Never fails: whatever cannot be found, resolved, opened or
// ended is left alone. Does not wait for the processes to disappear.
// Linux, service run as root: also every process of the proxy core's own
// account, which is the cores' alone (`platform::end_leftover_core_processes`).
std::size_t kill_orphan_cores();

// The same for the cores in `install_dir`.
std::size_t kill_orphan_cores_in(const std::string& install_dir);

// The line the service writes to standard error after the cleanup: empty
// for 0, else the count in words of the service, ending in a line feed.
std::string orphan_cleanup_line(std::size_t count);

}  // namespace ombrel::supervisor
