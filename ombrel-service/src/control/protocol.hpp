#pragma once
// The control channel's wire format: one JSON request line from the desktop
// application, one JSON reply line back. This is the only place that knows the
// member names; everything behind it works on the types below.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "node.hpp"

namespace ombrel::control {

// ---- Requests -------------------------------------------------------------

struct Status {
  friend bool operator==(const Status&, const Status&) = default;
};

struct Connect {
  ServerNodes nodes;
  // Label reported as the active node when more than one node is offered.
  std::string country;
  bool proxy_only = false;
  std::vector<std::string> bypass_apps;
  std::vector<std::string> sites;
  bool only_listed = false;
  friend bool operator==(const Connect&, const Connect&) = default;
};

struct Disconnect {
  friend bool operator==(const Disconnect&, const Disconnect&) = default;
};

struct Update {
  std::string version;
  std::string app_path;
  std::string app_sha256;
  std::string service_path;
  std::string service_sha256;
  friend bool operator==(const Update&, const Update&) = default;
};

using Request = std::variant<Status, Connect, Disconnect, Update>;

// ---- Replies --------------------------------------------------------------

struct Disconnected {
  friend bool operator==(const Disconnected&, const Disconnected&) = default;
};

struct Connecting {
  friend bool operator==(const Connecting&, const Connecting&) = default;
};

struct Connected {
  std::string node;
  // Only in proxy-only mode (the local HTTP port); left out of the reply otherwise.
  std::optional<std::uint16_t> proxy_port;
  friend bool operator==(const Connected&, const Connected&) = default;
};

struct ErrorReply {
  std::string code;
  std::string message;
  friend bool operator==(const ErrorReply&, const ErrorReply&) = default;
};

struct Updating {
  std::string version;
  // True when the service executable itself is replaced (the service restarts).
  bool tunnel_drops = false;
  friend bool operator==(const Updating&, const Updating&) = default;
};

using Reply = std::variant<Disconnected, Connecting, Connected, ErrorReply, Updating>;

// ---- Error codes and their fixed messages ---------------------------------

inline constexpr std::string_view BAD_REQUEST = "bad_request";
inline constexpr std::string_view NO_NODES = "no_nodes";
inline constexpr std::string_view BAD_NODE = "bad_node";
inline constexpr std::string_view NO_USABLE_NODES = "no_usable_nodes";
inline constexpr std::string_view BAD_SHA256 = "bad_sha256";
inline constexpr std::string_view CORE_START_FAILED = "core_start_failed";
inline constexpr std::string_view UPDATE_FAILED = "update_failed";
inline constexpr std::string_view ALREADY_CURRENT = "already_current";

inline constexpr std::string_view NO_NODES_MESSAGE = "список узлов пуст";
// Followed by the node's whole remark.
inline constexpr std::string_view BAD_NODE_PREFIX = "негодный узел: ";
inline constexpr std::string_view NO_USABLE_NODES_MESSAGE =
    "ни один узел не пригоден для подключения";
inline constexpr std::string_view BAD_SHA256_MESSAGE = "сумма не похожа на sha256";
inline constexpr std::string_view ALREADY_CURRENT_MESSAGE = "эта версия уже установлена";
// What a status reports once the watchdog has given up restarting the cores.
inline constexpr std::string_view TUNNEL_GAVE_UP_MESSAGE =
    "Не удалось поднять туннель. Проверьте, не занят ли сетевой адаптер другим VPN.";

// `message` is the parser's one-line description (parse_request's error).
ErrorReply bad_request(std::string message);
ErrorReply no_nodes();
ErrorReply bad_node(std::string_view remark);
ErrorReply no_usable_nodes();
ErrorReply bad_sha256();
// `chain` is the start error's messages joined by ": " (Error::to_string).
ErrorReply core_start_failed(std::string chain);
ErrorReply update_failed(std::string text);
ErrorReply already_current();

// ---- Reading and writing ----------------------------------------------------

// Trims Unicode white space, reads exactly one JSON value and maps it onto a
// Request. The error is a single message, one line, ending with
// " at line L column C" (1-based line; column in bytes, 0 before the first
// byte): the text of a "bad_request" reply.
Result<Request> parse_request(std::string_view line);

// Compact JSON, "state" first, UTF-8 as is, ending with a line feed. Bytes that
// are not UTF-8 in a text become U+FFFD, so writing never fails.
std::string write_reply(const Reply& reply);

// The client's half, for tools and tests that talk to the service: the request
// in the form parse_request reads (with a line feed), and a reply line read back.
std::string write_request(const Request& request);
Result<Reply> parse_reply(std::string_view line);

}  // namespace ombrel::control
