#pragma once
// Shared by pipe_win.cpp and pipe_posix.cpp: the words for a dropped client.
#include <chrono>

#include "base/error.hpp"

namespace ombrel::platform::pipe_detail {

enum class Stall {
  Request,  // the client stopped sending before its line was complete
  Reply,    // the client stopped taking up its reply
  Drain,    // the client did not read the end of its reply
};

// The message of a call that gave up on a client after `timeout` without
// progress; the client has been disconnected by then.
Error stall_error(Stall stall, std::chrono::milliseconds timeout);

}  // namespace ombrel::platform::pipe_detail
