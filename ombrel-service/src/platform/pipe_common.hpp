#pragma once
// Shared by pipe_win.cpp and pipe_posix.cpp: the words for a dropped client.
#include <chrono>
#include <optional>

#include "base/error.hpp"
#include "platform/pipe.hpp"

namespace ombrel::platform::pipe_detail {

enum class Stall {
  Request,  // the client stopped sending before its line was complete
  Reply,    // the client stopped taking up its reply
  Drain,    // the client did not read the end of its reply
};

// The message of a call that gave up on a client after `timeout` without
// progress; the client has been disconnected by then.
Error stall_error(Stall stall, std::chrono::milliseconds timeout);

// The message of a call that gave up on a client at its deadline: for
// Stall::Request the request was not complete, otherwise the reply was not
// taken up; the client has been disconnected by then.
Error deadline_error(Stall stall, const ClientDeadline& deadline);

// The next wait on a client: `timeout` without progress, cut short by the
// deadline. `deadline_first` tells which of the two ends it.
struct Wait {
  std::chrono::milliseconds length;
  bool deadline_first = false;
};
Wait next_wait(std::chrono::milliseconds timeout, const std::optional<ClientDeadline>& deadline);

}  // namespace ombrel::platform::pipe_detail
