#pragma once
// The pipe server: the service's one door for the desktop application. One
// client at a time: accept, read one request line, hand it to the request
// handler, write the one reply line, flush, disconnect, next.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"

namespace ombrel::control {

// What the request handler must do with one line, in two halves, so that the
// server never holds the state lock while it reads or writes the pipe.
//
// `prepare` runs first, without any lock: it parses and checks the line and
// builds everything that can be built without the service state. It never
// fails; every fault becomes an error reply of the returned step. It returns
// the second half, which the server calls exactly once, right away: that step
// takes the state lock itself, performs the action, gives the lock back and
// returns the reply bytes (compact JSON and a line feed). An error from the
// step means the reply could not be serialised.
// Who is on the other end of a connection, as far as the channel can tell.
struct ClientInfo {
  // The client's user id from the socket's peer credentials (Linux); empty
  // on Windows and when the system could not tell.
  std::optional<std::uint32_t> uid;
  // Opens a file on the client's behalf (`PipeServer::open_as_client`),
  // while the client is being served; empty: with the service's own.
  std::function<Result<platform::InputFile>(const std::string& path)> open_file = {};
  // The client's process, where the channel tells it.
  std::optional<std::uint32_t> pid = {};
  // The serving thread's watcher, to bound blocking calls made for the
  // client (reading its offered files); none: the caller makes its own.
  platform::IoWatcher* io_watcher = nullptr;
  // Called once a request is known to open files for its client, which may
  // be gone before they are opened (`PipeServer::hold_client_identity`).
  std::function<void()> hold_identity = {};
};

class RequestHandler {
 public:
  using Perform = std::move_only_function<Result<std::string>()>;

  virtual ~RequestHandler() = default;
  // `line` is the request without its line feed; empty when the client sent
  // nothing.
  virtual Perform prepare(std::string_view line) = 0;
  // What the server calls: `prepare` for a handler that does not care who
  // asks.
  virtual Perform prepare_for(std::string_view line, const ClientInfo& client) {
    (void)client;
    return prepare(line);
  }
};

// A RequestHandler from two functions: `prepare` (std::string_view) ->
// Prepared and `perform` (Prepared) -> Result<std::string> or std::string.
template <class Prepare, class PerformFn>
class FunctionHandler final : public RequestHandler {
 public:
  FunctionHandler(Prepare prepare, PerformFn perform)
      : prepare_(std::move(prepare)), perform_(std::move(perform)) {}

  Perform prepare(std::string_view line) override {
    return [this, prepared = prepare_(line)]() mutable -> Result<std::string> {
      return perform_(std::move(prepared));
    };
  }

 private:
  Prepare prepare_;
  PerformFn perform_;
};

template <class Prepare, class PerformFn>
std::unique_ptr<RequestHandler> make_request_handler(Prepare prepare, PerformFn perform) {
  return std::make_unique<FunctionHandler<Prepare, PerformFn>>(std::move(prepare),
                                                               std::move(perform));
}

// Request size limit: bytes read from the pipe per connection, line feed
// included; reading stops there as if the stream had ended.
inline constexpr std::size_t MAX_REQUEST_BYTES = 256 * 1024;
// The read buffer in front of the pipe.
inline constexpr std::size_t READ_BUFFER_BYTES = 8 * 1024;

struct PipeServerOptions {
  std::string pipe_name;  // the platform's channel when empty
  // A client that sends nothing, or takes up nothing of its reply, for this
  // long is dropped so that the next one can be served.
  std::chrono::milliseconds client_timeout{5000};
  // However steadily it trickles, a client is given this long for its whole
  // request, counted from the connection (a client whose line was not UTF-8
  // is read further within the same time), and as long again for taking up
  // its whole reply; then it is dropped.
  std::chrono::milliseconds request_deadline{10000};
  std::chrono::milliseconds reply_deadline{10000};
  // A client dropped for stalling (or at its deadline) is refused at once,
  // without a byte read, when its process connects again within this time:
  // the one instance has no queue on Windows, and a process that reconnects
  // the moment it is dropped would otherwise win it again as often as the
  // desktop does. Zero turns this off.
  std::chrono::milliseconds stall_penalty{30000};
  // A line said about a client (a refusal, a reply that did not go out) is
  // said once; the same line for a client of the same user within this
  // time after it is only counted, and the count is said in one line when
  // the time is over ("повторено ещё N раз за минуту, клиент uid 1000: "
  // and the line), with the next client or when serving stops. Any process may
  // connect thousands of times a second, and each line said would push the
  // service's log, which keeps two files of 256 KiB, further towards losing
  // what came before. Zero turns this off.
  std::chrono::milliseconds repeat_window{60000};
  // Pause before trying again to create a pipe that could not be created.
  std::chrono::milliseconds create_retry{5000};
  // While another process holds the channel's name, who it is is said once
  // and then at most this often (the attempts go on every `create_retry`).
  std::chrono::milliseconds holder_report_every{60000};
  // Where diagnostic lines go (without their line feed); standard error when
  // empty.
  std::function<void(std::string_view)> diagnostics;
  // When given, held from the moment a client is taken up until it is
  // disconnected: whoever holds it knows that no exchange is under way and
  // that none starts until it lets go. The service takes it before it
  // replaces its own program, so that no reply is lost to the replacement,
  // that of the update which asked for it included.
  std::mutex* exchange_lock = nullptr;
};

// The pipe server thread's body. The service runs it for the life of the
// process and never stops it; tests stop it through `stop` (a waiting accept
// wakes at once, a client being served is served to the end).
void serve_pipe(RequestHandler& handler, const PipeServerOptions& options = {},
                std::stop_token stop = {});

}  // namespace ombrel::control
