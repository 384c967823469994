#include "control/handling.hpp"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "config.hpp"
#include "overloaded.hpp"
#include "platform/channel/resolve.hpp"
#include "registry/registry.hpp"
#include "select.hpp"
#include "singbox.hpp"
#include "unicase.hpp"

namespace ombrel::control {

std::atomic<std::uint64_t> connect_counter{0};

namespace {

Refuse refusal(ErrorReply reply) {
  return Refuse{std::move(reply.code), std::move(reply.message)};
}

IpAddress to_ip(const platform::ResolvedAddress& a) {
  if (a.v6) return a.bytes;
  return Ipv4{a.bytes[0], a.bytes[1], a.bytes[2], a.bytes[3]};
}

Result<std::vector<IpAddress>> system_lookup(const std::string& host) {
  auto found = platform::resolve_host(host);
  if (!found) return fail(std::move(found.error()));
  std::vector<IpAddress> out;
  out.reserve(found->size());
  for (const auto& a : *found) out.push_back(to_ip(a));
  return out;
}

// The answers of one connect's lookups, shared with the lookup threads,
// which may outlive the connect.
struct Answers {
  std::mutex mutex;
  std::condition_variable arrived;
  std::map<std::string, std::string> resolved;
  std::size_t awaited = 0;
};

// Looks `address` up on a thread of its own, which nobody joins: a resolver
// may never answer. False when no slot or no thread could be had.
bool start_lookup(const std::string& address, const PrepareDeps& deps,
                  const std::shared_ptr<Answers>& answers) {
  const std::shared_ptr<LookupSlots>& slots = deps.lookup_slots;
  if (!slots->take()) return false;
  {
    const std::lock_guard lock(answers->mutex);
    ++answers->awaited;
  }
  try {
    std::thread([address, lookup = deps.lookup, slots, answers]() noexcept {
      std::string found;
      try {
        found = resolved_address(address, lookup);
      } catch (...) {
        found = std::string(trim_white_space(address));
      }
      slots->give();
      {
        const std::lock_guard lock(answers->mutex);
        answers->resolved.emplace(address, std::move(found));
        --answers->awaited;
      }
      answers->arrived.notify_all();
    }).detach();
    return true;
  } catch (const std::system_error&) {
    slots->give();
    const std::lock_guard lock(answers->mutex);
    --answers->awaited;
    return false;
  }
}

// Nodes often share a host, and each lookup may wait on the network: every
// distinct address is looked up once, all of them at the same time, and
// all of them together within one bound. A name without an answer by then
// stays as written, as after a failed lookup; the core then looks it up
// itself.
void resolve_addresses(ServerNodes& nodes, const PrepareDeps& deps) {
  const auto deadline = std::chrono::steady_clock::now() + deps.lookup_bound;
  std::map<std::string, std::string> resolved;
  const auto answers = std::make_shared<Answers>();
  std::set<std::string> asked;
  for (const ServerNode& node : nodes) {
    const std::string& a = node.address;
    if (resolved.contains(a) || asked.contains(a)) continue;
    if (parse_ip_address(trim_white_space(a)) || !deps.lookup || !deps.lookup_slots ||
        !start_lookup(a, deps, answers)) {
      // No lookup for a literal, and none without a slot: as written.
      resolved.emplace(a, resolved_address(a, nullptr));
      continue;
    }
    asked.insert(a);
  }
  {
    std::unique_lock lock(answers->mutex);
    answers->arrived.wait_until(lock, deadline, [&] { return answers->awaited == 0; });
    resolved.insert(answers->resolved.begin(), answers->resolved.end());
  }
  for (ServerNode& node : nodes) {
    const auto found = resolved.find(node.address);
    node.address =
        found != resolved.end() ? found->second : std::string(trim_white_space(node.address));
  }
}

PreparedAction prepare_connect(const Connect& connect, const PrepareDeps& deps) {
  const ServerNodes& nodes = connect.nodes;
  if (nodes.empty()) return refusal(no_nodes());
  for (const ServerNode& node : nodes) {
    if (node.port == 0 || trim_white_space(node.address).empty()) {
      return refusal(bad_node(node.remark));
    }
  }

  supervisor::CoreLaunch launch;
  if (nodes.size() == 1) {
    launch.display_label = short_label(nodes.front().remark);
  } else {
    launch.display_label = connect.country.empty() ? std::string(AUTO_LABEL) : connect.country;
  }

  const std::uint64_t turn = deps.counter->fetch_add(1);
  const std::vector<std::string> seen =
      deps.recent_seen ? deps.recent_seen() : std::vector<std::string>{};
  const std::vector<std::string> failed =
      deps.recent_failed ? deps.recent_failed() : std::vector<std::string>{};
  ServerNodes chosen = select_nodes(nodes, turn, seen, failed);
  for (const ServerNode& node : chosen) {
    launch.channel_labels.push_back(short_label(node.remark));
    launch.channel_remarks.push_back(node.remark);
  }

  resolve_addresses(chosen, deps);
  const LocalProxy local = local_proxy_for(connect.proxy_only);
  const auto xray = build_xray_config(chosen, local);
  if (!xray) return refusal(no_usable_nodes());
  launch.xray_config = xray->text();

  if (connect.proxy_only) {
    launch.proxy_port = local.port;
    launch.local_ports = {local.port, static_cast<std::uint16_t>(local.port + 1)};
  } else {
    std::vector<std::string> addresses;
    addresses.reserve(chosen.size());
    for (const ServerNode& node : chosen) addresses.push_back(node.address);
    const TunnelRouting routing{connect.bypass_apps, connect.sites, connect.only_listed};
    launch.singbox_config = build_singbox_config(local.port, routing, addresses);
    launch.local_ports = {local.port};
  }
  return StartConnection{std::move(launch)};
}

PreparedAction prepare_update(const Update& update, const ClientInfo& client) {
  // The application's sum is looked at first, then the service's.
  if (!is_sha256_form(update.app_sha256) || !is_sha256_form(update.service_sha256)) {
    return refusal(bad_sha256());
  }
  if (client.hold_identity) client.hold_identity();
  return ApplyUpdate{update, client.uid, client.open_file, client.pid, client.io_watcher};
}

Reply apply_update(const ApplyUpdate& apply, const PerformDeps& deps) {
  const Update& update = apply.update;
  selfupdate::UpdateFields fields{update.version,      update.app_path,       update.app_sha256,
                                  update.service_path, update.service_sha256, apply.caller_uid,
                                  apply.open_offered};
  fields.caller_pid = apply.caller_pid;
  fields.io_watcher = apply.io_watcher;
  const selfupdate::UpdateDecision decision =
      deps.apply_update ? deps.apply_update(fields) : selfupdate::handle_update(fields);
  return std::visit(
      Overloaded{
          [](const selfupdate::UpdateFailed& f) -> Reply { return update_failed(f.text); },
          [](const selfupdate::AlreadyCurrent&) -> Reply { return already_current(); },
          [&](const selfupdate::UpdateAccepted& a) -> Reply {
            return Updating{update.version, a.tunnel_drops};
          },
      },
      decision);
}

}  // namespace

std::string short_label(std::string_view remark) {
  return std::string(remark.substr(0, remark.find(LABEL_SEPARATOR)));
}

bool is_sha256_form(std::string_view sum) {
  if (sum.size() != 64) return false;
  for (const char c : sum) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

std::string resolved_address(const std::string& address, const LookupFn& lookup) {
  // White space around an address is no part of it; a core handed it would
  // only fail on the node.
  std::string host(trim_white_space(address));
  if (host.empty() || parse_ip_address(host) || !lookup) return host;
  const auto found = lookup(host);
  if (!found) return host;
  for (const IpAddress& a : *found) {
    if (std::holds_alternative<Ipv4>(a)) return ip_text(a);
  }
  if (!found->empty()) return ip_text(found->front());
  return host;
}

bool LookupSlots::take() {
  std::size_t out = out_.load();
  do {
    if (out >= most_) return false;
  } while (!out_.compare_exchange_weak(out, out + 1));
  return true;
}

void LookupSlots::give() {
  out_.fetch_sub(1);
}

const PrepareDeps& real_prepare_deps() {
  static const PrepareDeps deps{
      &connect_counter,
      [] { return registry::channel_registry().recent_seen(); },
      [] { return registry::channel_registry().recent_failed(); },
      system_lookup,
  };
  return deps;
}

PreparedAction read_and_prepare(std::string_view line, const PrepareDeps& deps) {
  return read_and_prepare(line, ClientInfo{}, deps);
}

PreparedAction read_and_prepare(std::string_view line, const ClientInfo& client,
                                const PrepareDeps& deps) {
  auto request = parse_request(line);
  if (!request) return refusal(bad_request(request.error().to_string()));
  return std::visit(Overloaded{
                        [](const Status&) -> PreparedAction { return QueryStatus{}; },
                        [](const Disconnect&) -> PreparedAction { return StopConnection{}; },
                        [&](const Connect& c) { return prepare_connect(c, deps); },
                        [&](const Update& u) { return prepare_update(u, client); },
                    },
                    *request);
}

const PerformDeps& real_perform_deps() {
  static const PerformDeps deps{
      [](const selfupdate::UpdateFields& fields) { return selfupdate::handle_update(fields); },
  };
  return deps;
}

Reply reply_for(const supervisor::StateView& view) {
  return std::visit(
      Overloaded{
          [](const supervisor::ViewConnected& v) -> Reply {
            Connected c{v.node, std::nullopt};
            if (v.proxy_port) c.proxy_port = static_cast<std::uint16_t>(*v.proxy_port + 1);
            return c;
          },
          [](const supervisor::ViewConnecting&) -> Reply { return Connecting{}; },
          [](const supervisor::ViewError& e) -> Reply { return core_start_failed(e.message); },
          [](const supervisor::ViewDisconnected&) -> Reply { return Disconnected{}; },
      },
      view);
}

Reply perform(PreparedAction action, supervisor::SharedState& shared,
              std::unique_lock<std::mutex>& lock, const PerformDeps& deps) {
  return std::visit(
      Overloaded{
          [&](const StartConnection& s) -> Reply {
            return reply_for(supervisor::on_connect(shared, s.launch));
          },
          [&](const StopConnection&) -> Reply {
            supervisor::on_disconnect(shared);
            return Disconnected{};
          },
          [&](const QueryStatus&) -> Reply { return reply_for(supervisor::on_status(shared)); },
          [](const Refuse& r) -> Reply {
            return ErrorReply{r.code, r.message};
          },
          [&](const ApplyUpdate& u) -> Reply {
            // Nothing of an update touches the state; the watchdog and the
            // cores carry on while the files are hashed and copied.
            if (lock.owns_lock()) lock.unlock();
            return apply_update(u, deps);
          },
      },
      action);
}

namespace {

// Prepares without the lock, with the client's identity for an update;
// performs under the state lock.
class StateHandler final : public RequestHandler {
 public:
  StateHandler(supervisor::SharedState& shared, PrepareDeps prepare_deps, PerformDeps perform_deps)
      : shared_(shared),
        prepare_deps_(std::move(prepare_deps)),
        perform_deps_(std::move(perform_deps)) {}

  Perform prepare(std::string_view line) override { return prepare_for(line, ClientInfo{}); }

  Perform prepare_for(std::string_view line, const ClientInfo& client) override {
    return [this, action = read_and_prepare(line, client,
                                            prepare_deps_)]() mutable -> Result<std::string> {
      auto lock = shared_.lock();
      const Reply reply = perform(std::move(action), shared_, lock, perform_deps_);
      if (lock.owns_lock()) lock.unlock();
      return write_reply(reply);
    };
  }

 private:
  supervisor::SharedState& shared_;
  PrepareDeps prepare_deps_;
  PerformDeps perform_deps_;
};

}  // namespace

std::unique_ptr<RequestHandler> make_state_handler(supervisor::SharedState& shared,
                                                   PrepareDeps prepare_deps,
                                                   PerformDeps perform_deps) {
  return std::make_unique<StateHandler>(shared, std::move(prepare_deps), std::move(perform_deps));
}

}  // namespace ombrel::control
