#pragma once
// How many threads and open handles this process holds: the evidence that
// repeated core starts and stops leave nothing behind.
#include <cstddef>

#include "base/error.hpp"

namespace ombrel::platform {

// The threads of this process, counted by the system.
Result<std::size_t> own_thread_count();

// The open handles of this process (Windows) or its open file descriptors
// (Linux), not counting any the query itself opens.
Result<std::size_t> own_handle_count();

}  // namespace ombrel::platform
