#pragma once
// How many threads and open handles this process holds: the evidence that
// repeated core starts and stops leave nothing behind.
#include <cstddef>
#include <cstdint>

#include "base/error.hpp"

namespace ombrel::platform {

// The threads of this process, counted by the system.
Result<std::size_t> own_thread_count();

// The open handles of this process (Windows) or its open file descriptors
// (Linux), not counting any the query itself opens.
Result<std::size_t> own_handle_count();

// The same counts of another process, looked at from outside, with its
// memory: what a soak watches for growth.
struct ProcessCounts {
  std::size_t threads = 0;
  std::size_t handles = 0;
  // Resident memory (working set, VmRSS).
  std::size_t resident_bytes = 0;
  // Memory that is the process's own (private bytes, RssAnon); Wine gives
  // no such figure for another process and reports 0.
  std::size_t private_bytes = 0;
};
Result<ProcessCounts> process_counts(std::uint32_t pid);

}  // namespace ombrel::platform
