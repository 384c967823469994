#pragma once
// ombrelctl: a small client of the service's control channel for people and
// scripts. One command, one request, one reply.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "platform/channel/pipe.hpp"

namespace ombrel::ctl {

struct StatusCmd {};
struct DisconnectCmd {};
struct ConnectCmd {
  std::string nodes_file;  // a JSON array of server nodes in wire form
  bool proxy_only = false;
  std::string country;
  std::vector<std::string> bypass_apps;
  std::vector<std::string> sites;
  bool only_listed = false;
};
struct UpdateCmd {
  std::string version;
  std::string app_path;
  std::string app_sha256;
  std::string service_path;
  std::string service_sha256;
};
// One raw request line, its reply printed as received.
struct SendCmd {
  std::string line;
};
using Command = std::variant<StatusCmd, DisconnectCmd, ConnectCmd, UpdateCmd, SendCmd>;

struct Invocation {
  std::string pipe;  // the platform's channel when empty
  bool json = false;
  bool help = false;
  // Keep trying while the service closes the connection before any reply.
  bool wait_refused = false;
  Command command;
};

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_ERROR_REPLY = 1;
inline constexpr int EXIT_USAGE = 2;

std::string usage();

// The arguments after the program name. The error is the usage fault.
Result<Invocation> parse_args(std::span<const std::string> args);

// The request line (with its line feed). `read_file` gives the content of the
// nodes file; relative update paths are made absolute here, since the service
// runs in a folder of its own.
Result<std::string> request_line(
    const Command& command,
    const std::function<Result<std::string>(const std::string&)>& read_file);

// What to print for a reply and the exit code.
struct Outcome {
  std::string out;
  std::string err;
  int exit_code = EXIT_OK;
};
Outcome render_reply(std::string_view reply, bool json, bool raw);

// The service turns away, for 30 s, a process it dropped for stalling: it
// closes the connection at once, before reading a byte. To a client that is
// a connection that ends before any reply, as when the service stops or
// fails on the request; only waiting tells them apart. `once` makes one
// exchange and gives the reply, empty when the connection ended before any,
// or the error of a connection that could not be made. An empty reply is an
// error that says so; with `wait` the exchange is repeated, `pause` apart,
// until a reply comes or REFUSAL_WAIT has passed.
inline constexpr std::chrono::seconds REFUSAL_WAIT{35};
inline constexpr std::chrono::seconds REFUSAL_RETRY{1};
Result<std::string> exchange_past_refusals(
    const std::function<Result<std::string>()>& once, bool wait,
    const std::function<void(std::chrono::milliseconds)>& pause);

// Checking the server before anything is sent: whoever holds the channel's
// name receives the request, so a process that took the name while the
// service was down must get nothing. `service_pid` is the process the
// service control manager runs the service in, when it runs (Windows).
// The reason to refuse the server, in one line, or nothing when it is the
// service: the manager's process when the service runs; otherwise a server
// of LocalSystem or of an elevated administrator (the service under "run")
// on Windows, of root or of the caller's own user on Linux.
std::optional<std::string> refuse_server(const platform::ServerIdentity& server,
                                         std::optional<std::uint32_t> service_pid);

// The whole program, with its two output streams given.
struct Console {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
};
int run(std::span<const std::string> args, const Console& console);

}  // namespace ombrel::ctl
