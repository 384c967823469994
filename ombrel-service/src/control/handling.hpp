#pragma once
// What a request means and doing it, in two halves. `read_and_prepare` runs
// on the pipe server thread without the state lock: it parses and checks the
// line and, for a connect, builds both core documents. `perform` applies the
// prepared action to the service state with the lock held and yields the
// reply. The split keeps name lookups and document building from holding up
// the watchdog.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "control/pipe_server.hpp"
#include "control/protocol.hpp"
#include "ipaddr.hpp"
#include "selfupdate/update.hpp"
#include "supervisor/state.hpp"

namespace ombrel::control {

// A remark is shown only up to the first occurrence of this.
inline constexpr std::string_view LABEL_SEPARATOR = " app_";
// The active node's label when several nodes are offered without a country.
inline constexpr std::string_view AUTO_LABEL = "Автовыбор";

// ---- Prepared actions -------------------------------------------------------

struct StartConnection {
  supervisor::CoreLaunch launch;
  friend bool operator==(const StartConnection&, const StartConnection&) = default;
};
struct StopConnection {
  friend bool operator==(const StopConnection&, const StopConnection&) = default;
};
struct QueryStatus {
  friend bool operator==(const QueryStatus&, const QueryStatus&) = default;
};
// Answered as the "error" reply unchanged.
struct Refuse {
  std::string code;
  std::string message;
  friend bool operator==(const Refuse&, const Refuse&) = default;
};
// An update whose two sums have the right form; the fields as received,
// and who sent them.
struct ApplyUpdate {
  Update update;
  std::optional<std::uint32_t> caller_uid;
  // Opens the offered files on the caller's behalf; see ClientInfo.
  selfupdate::OpenOfferedFn open_offered = {};
  std::optional<std::uint32_t> caller_pid = {};
  platform::IoWatcher* io_watcher = nullptr;
  // What was asked and by whom; how the files will be opened is no part of it.
  friend bool operator==(const ApplyUpdate& a, const ApplyUpdate& b) {
    return a.update == b.update && a.caller_uid == b.caller_uid;
  }
};

using PreparedAction =
    std::variant<StartConnection, StopConnection, QueryStatus, Refuse, ApplyUpdate>;

// ---- Pieces of preparing, on their own ---------------------------------------

// The remark before the first LABEL_SEPARATOR; the whole remark without one.
std::string short_label(std::string_view remark);

// Exactly 64 characters, each of 0-9, a-f, A-F.
bool is_sha256_form(std::string_view sum);

// Spreads successive connections over the offered nodes; grows once per
// connect that gets past the node checks, never reset.
extern std::atomic<std::uint64_t> connect_counter;

// The resolver's answer for one host name, in its order.
using LookupFn = std::function<Result<std::vector<IpAddress>>(const std::string& host)>;

// The address a core is to be given for `address`, white space around it
// dropped: an IP address written as text is kept as written; a host name
// becomes the first IPv4 address the lookup gives, else its first IPv6 one
// (canonical text, no brackets); after a failed or empty lookup the host
// name stays.
std::string resolved_address(const std::string& address, const LookupFn& lookup);

// How long the lookups of one connect may take, all of its names at once:
// the connect holds the only channel meanwhile, and a name server that
// never answers must not hold it longer.
inline constexpr std::chrono::milliseconds LOOKUP_BOUND{2000};
// Lookups that may be under way at once, abandoned ones included.
inline constexpr std::size_t MOST_LOOKUPS_OUT = 32;

// The lookups begun and not yet answered, counted across connects: a lookup
// that outlives its connect's bound keeps its thread until the resolver
// answers, and no more threads than this wait on a resolver that never
// does. A name for which no slot is free is not looked up.
class LookupSlots {
 public:
  explicit LookupSlots(std::size_t most) : most_(most) {}
  // False when `most` lookups are out.
  bool take();
  void give();
  std::size_t out() const { return out_.load(); }

 private:
  const std::size_t most_;
  std::atomic<std::size_t> out_{0};
};

// What preparing needs from the world: `real_prepare_deps()` gives the
// process-wide counter, the service's registry and the system's resolver.
struct PrepareDeps {
  std::atomic<std::uint64_t>* counter = &connect_counter;
  std::function<std::vector<std::string>()> recent_seen;
  std::function<std::vector<std::string>()> recent_failed;
  // Called from several threads at once (one per distinct host name), and
  // possibly after the prepare that asked has returned: a copy of it is
  // kept until it answers.
  LookupFn lookup;
  // A name without an answer by then stays as written, as after a failed
  // lookup.
  std::chrono::milliseconds lookup_bound = LOOKUP_BOUND;
  std::shared_ptr<LookupSlots> lookup_slots = std::make_shared<LookupSlots>(MOST_LOOKUPS_OUT);
};
const PrepareDeps& real_prepare_deps();

// Never fails: every fault becomes Refuse.
PreparedAction read_and_prepare(std::string_view line,
                                const PrepareDeps& deps = real_prepare_deps());
// The same for a line from `client`, whose identity goes with an update.
PreparedAction read_and_prepare(std::string_view line, const ClientInfo& client,
                                const PrepareDeps& deps = real_prepare_deps());

// ---- Performing --------------------------------------------------------------

struct PerformDeps {
  // Stages an offered update and decides the reply (self-update's hand-off).
  std::function<selfupdate::UpdateDecision(const selfupdate::UpdateFields&)> apply_update;
};
const PerformDeps& real_perform_deps();

// Entered with `lock` holding the state lock of `shared`. Every action but
// ApplyUpdate returns with the lock still held; ApplyUpdate releases it at
// once, since staging an update may take long and touches no state.
Reply perform(PreparedAction action, supervisor::SharedState& shared,
              std::unique_lock<std::mutex>& lock, const PerformDeps& deps = real_perform_deps());

// The reply for what the state reports: a stored proxy port (the SOCKS one)
// is answered as the HTTP port above it.
Reply reply_for(const supervisor::StateView& view);

// ---- Into the pipe server ------------------------------------------------------

// The pipe server's handler for `shared`: prepares without the lock, then
// takes the state lock, performs and writes the reply line. `shared` must
// outlive the handler.
std::unique_ptr<RequestHandler> make_state_handler(supervisor::SharedState& shared,
                                                   PrepareDeps prepare_deps = real_prepare_deps(),
                                                   PerformDeps perform_deps = real_perform_deps());

}  // namespace ombrel::control
