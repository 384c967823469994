#pragma once
// Shared by pipe_win.cpp and pipe_posix.cpp: the words for a dropped client.
#include <chrono>
#include <cstddef>
#include <optional>

#include "base/error.hpp"
#include "platform/channel/pipe.hpp"

namespace ombrel::platform::pipe_detail {

// The reply is handed to the channel in pieces of this size, and a piece
// taken is what counts as the client's progress. Each must be small enough
// that a client reading steadily frees room for the next well within the
// time-out: a Unix socket frees a piece's room only once the whole piece has
// been read, and a blocking write to a pipe returns only once the client has
// read what does not fit the pipe's buffer.
inline constexpr std::size_t REPLY_PIECE = 16 * 1024;

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
