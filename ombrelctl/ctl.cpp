#include "ctl.hpp"

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "base/text.hpp"
#include "control/protocol.hpp"
#include "overloaded.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/files/files.hpp"
#include "platform/host/service.hpp"

namespace ombrel::ctl {
namespace {

using namespace std::chrono_literals;

// How long to keep trying while the service is busy with another client or
// not up yet.
constexpr auto CONNECT_PATIENCE = 5s;

// The service whose process must be the channel's server while it runs.
constexpr std::string_view SERVICE_NAME = "OmbrelService";

const char* command_name(const Command& command) {
  return std::visit(Overloaded{
                        [](const StatusCmd&) { return "status"; },
                        [](const DisconnectCmd&) { return "disconnect"; },
                        [](const ConnectCmd&) { return "connect"; },
                        [](const UpdateCmd&) { return "update"; },
                        [](const SendCmd&) { return "send"; },
                    },
                    command);
}

// The service resolves paths against its own working folder, not ours.
std::string absolute_path(const std::string& path) {
  std::error_code ec;
  const auto full =
      std::filesystem::absolute(std::filesystem::path(std::u8string(path.begin(), path.end())), ec);
  if (ec) return path;
  const std::u8string text = full.u8string();
  return std::string(text.begin(), text.end());
}

// One exchange over a fresh connection; "" when the connection ended before
// any reply. A service that turns us away closes before reading, so the
// write may fail as well: that too is a connection that ended before any
// reply.
// The server is checked after the connection is made and before a byte of
// the request goes out: whoever holds the channel's name would receive it.
Result<std::string> exchange_once(const std::string& name, const std::string& line) {
  auto client = platform::PipeClient::connect(name, CONNECT_PATIENCE);
  if (!client) return fail(std::move(client.error()));
  auto server = context(client->server_identity(), "не удалось узнать, кто держит канал");
  if (!server) return fail(std::move(server.error()));
  if (auto refusal = refuse_server(*server, platform::running_service_pid(SERVICE_NAME))) {
    return fail(std::move(*refusal));
  }
  if (!client->write_all(line)) return std::string();
  return context(client->read_to_end(), "не удалось получить ответ");
}

}  // namespace

std::string usage() {
  return "Usage: ombrelctl [--pipe PATH] [--json] COMMAND\n"
         "\n"
         "Commands:\n"
         "  status                       show the connection state\n"
         "  connect NODES.json [--proxy-only] [--country C] [--bypass-app A]...\n"
         "          [--site S]... [--only-listed]\n"
         "                               connect through the server nodes in NODES.json\n"
         "                               (a JSON array of nodes as the service reads them)\n"
         "  disconnect                   tear the connection down\n"
         "  update --version V --app PATH --app-sha256 H --service PATH --service-sha256 H\n"
         "                               hand new builds to the service\n"
         "  send 'RAW-JSON'              send one raw request line, print the raw reply\n"
         "\n"
         "Options:\n"
         "  --pipe PATH   the service's pipe or socket (default: " +
         platform::default_pipe_name() +
         ")\n"
         "  --json        print the service's reply as it came\n"
         "  --wait-refused\n"
         "                keep trying for up to 35 s while the service closes the\n"
         "                connection before replying (it turns a process away for 30 s\n"
         "                after dropping it for a stall)\n"
         "\n"
         "Exit status: 0 for a reply that is not an error, 1 for an error reply,\n"
         "2 for a usage fault, when the service cannot be reached, or when what\n"
         "holds the channel is not the service (nothing is sent to it then).\n";
}

Result<Invocation> parse_args(std::span<const std::string> args) {
  Invocation inv;
  ConnectCmd connect;
  UpdateCmd update;
  std::vector<std::string> words;
  // Command options seen, with the command they belong to.
  std::vector<std::pair<std::string, std::string>> owned;
  bool only_words = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_words || arg.empty() || arg[0] != '-' || arg == "-") {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_words = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inline_value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    const auto value = [&]() -> Result<std::string> {
      if (inline_value) return *inline_value;
      if (i + 1 >= args.size()) return fail("option " + name + " needs a value");
      return args[++i];
    };
    const auto flag = [&]() -> Result<void> {
      if (inline_value) return fail("option " + name + " takes no value");
      return {};
    };
    struct Text {
      const char* name;
      const char* owner;
      std::string* field;
    };
    const Text texts[] = {
        {"--pipe", "", &inv.pipe},
        {"--country", "connect", &connect.country},
        {"--version", "update", &update.version},
        {"--app", "update", &update.app_path},
        {"--app-sha256", "update", &update.app_sha256},
        {"--service", "update", &update.service_path},
        {"--service-sha256", "update", &update.service_sha256},
    };
    struct Flag {
      const char* name;
      const char* owner;
      bool* field;
    };
    const Flag flags[] = {
        {"--json", "", &inv.json},
        {"--wait-refused", "", &inv.wait_refused},
        {"--help", "", &inv.help},
        {"-h", "", &inv.help},
        {"--proxy-only", "connect", &connect.proxy_only},
        {"--only-listed", "connect", &connect.only_listed},
    };
    bool known = false;
    for (const Text& t : texts) {
      if (name != t.name) continue;
      auto v = value();
      if (!v) return fail(v.error());
      *t.field = std::move(*v);
      if (*t.owner != '\0') owned.emplace_back(name, t.owner);
      known = true;
    }
    for (const Flag& f : flags) {
      if (name != f.name) continue;
      if (auto ok = flag(); !ok) return fail(ok.error());
      *f.field = true;
      if (*f.owner != '\0') owned.emplace_back(name, f.owner);
      known = true;
    }
    if (name == "--bypass-app" || name == "--site") {
      auto v = value();
      if (!v) return fail(v.error());
      (name == "--site" ? connect.sites : connect.bypass_apps).push_back(std::move(*v));
      owned.emplace_back(name, "connect");
      known = true;
    }
    if (!known) return fail("unknown option " + name);
  }

  if (inv.help) return inv;
  if (words.empty()) return fail("no command given");
  const std::string& word = words[0];
  const std::size_t extra = words.size() - 1;
  const auto no_more = [&](std::size_t allowed) -> Result<void> {
    if (extra > allowed) return fail("unexpected argument " + words[allowed + 1]);
    return {};
  };
  if (word == "status") {
    inv.command = StatusCmd{};
    OMBREL_TRY(no_more(0));
  } else if (word == "disconnect") {
    inv.command = DisconnectCmd{};
    OMBREL_TRY(no_more(0));
  } else if (word == "connect") {
    if (extra == 0) return fail("connect needs the nodes file");
    OMBREL_TRY(no_more(1));
    connect.nodes_file = words[1];
    inv.command = std::move(connect);
  } else if (word == "update") {
    OMBREL_TRY(no_more(0));
    const std::pair<const char*, const std::string*> required[] = {
        {"--version", &update.version},
        {"--app", &update.app_path},
        {"--app-sha256", &update.app_sha256},
        {"--service", &update.service_path},
        {"--service-sha256", &update.service_sha256},
    };
    for (const auto& [name, field] : required) {
      if (field->empty()) return fail(std::string("update needs ") + name);
    }
    inv.command = std::move(update);
  } else if (word == "send") {
    if (extra == 0) return fail("send needs the request line");
    OMBREL_TRY(no_more(1));
    inv.command = SendCmd{words[1]};
  } else {
    return fail("unknown command " + word);
  }
  for (const auto& [option, owner] : owned) {
    if (owner != command_name(inv.command)) {
      return fail("option " + option + " belongs to " + owner + ", not to " + word);
    }
  }
  return inv;
}

Result<std::string> request_line(
    const Command& command,
    const std::function<Result<std::string>(const std::string&)>& read_file) {
  return std::visit(
      Overloaded{
          [](const StatusCmd&) -> Result<std::string> {
            return control::write_request(control::Status{});
          },
          [](const DisconnectCmd&) -> Result<std::string> {
            return control::write_request(control::Disconnect{});
          },
          [](const UpdateCmd& u) -> Result<std::string> {
            return control::write_request(
                control::Update{u.version, absolute_path(u.app_path), u.app_sha256,
                                absolute_path(u.service_path), u.service_sha256});
          },
          [](const SendCmd& s) -> Result<std::string> {
            std::string line = s.line;
            if (line.empty() || line.back() != '\n') line.push_back('\n');
            return line;
          },
          [&](const ConnectCmd& c) -> Result<std::string> {
            auto text = read_file(c.nodes_file);
            if (!text) return fail(std::move(text.error()).wrapped("cannot read " + c.nodes_file));
            const auto nodes = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
            if (!nodes.is_array()) {
              return fail(c.nodes_file + " is not a JSON array of server nodes");
            }
            nlohmann::ordered_json j;
            j["cmd"] = "connect";
            j["nodes"] = nodes;
            j["country"] = c.country;
            j["proxy_only"] = c.proxy_only;
            j["bypass_apps"] = c.bypass_apps;
            j["sites"] = c.sites;
            j["only_listed"] = c.only_listed;
            // Text that is not UTF-8 in an argument goes out as U+FFFD rather
            // than stopping the program.
            return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
          },
      },
      command);
}

Outcome render_reply(std::string_view reply, bool json, bool raw) {
  Outcome o;
  if (reply.empty()) {
    o.err = "ombrelctl: the service closed the connection without a reply\n";
    o.exit_code = EXIT_USAGE;
    return o;
  }
  auto parsed = control::parse_reply(reply);
  if (json || raw) {
    o.out = std::string(reply);
    if (o.out.back() != '\n') o.out.push_back('\n');
    if (!parsed) {
      o.exit_code = EXIT_USAGE;
    } else if (std::holds_alternative<control::ErrorReply>(*parsed)) {
      o.exit_code = EXIT_ERROR_REPLY;
    }
    return o;
  }
  if (!parsed) {
    std::string_view line = reply;
    if (line.ends_with('\n')) line.remove_suffix(1);
    o.err = "ombrelctl: unreadable reply: " + escape_controls(line) + "\n";
    o.exit_code = EXIT_USAGE;
    return o;
  }
  // What the service says may hold a client's text (a remark, a path): a
  // terminal is shown its control characters, never given them.
  std::visit(
      Overloaded{
          [&](const control::Disconnected&) { o.out = "disconnected\n"; },
          [&](const control::Connecting&) { o.out = "connecting\n"; },
          [&](const control::Connected& c) {
            o.out = "connected: " + escape_controls(c.node) + "\n";
            if (c.proxy_port) {
              o.out += "local HTTP proxy: 127.0.0.1:" + std::to_string(*c.proxy_port) + "\n";
            }
          },
          [&](const control::Updating& u) {
            o.out = "updating to " + escape_controls(u.version) +
                    (u.tunnel_drops ? " (the service restarts; the tunnel drops briefly)\n" : "\n");
          },
          [&](const control::ErrorReply& e) {
            o.err = "error: " + escape_controls(e.message) + " (" + escape_controls(e.code) + ")\n";
            o.exit_code = EXIT_ERROR_REPLY;
          },
      },
      *parsed);
  return o;
}

Result<std::string> exchange_past_refusals(
    const std::function<Result<std::string>()>& once, bool wait,
    const std::function<void(std::chrono::milliseconds)>& pause) {
  const auto tries = wait ? REFUSAL_WAIT / REFUSAL_RETRY + 1 : 1;
  for (auto i = tries; i > 0; --i) {
    auto reply = once();
    if (!reply || !reply->empty()) return reply;
    if (i > 1) pause(REFUSAL_RETRY);
  }
  if (!wait) {
    return fail(
        "the service closed the connection before any reply: it turns a process away like "
        "this for 30 s after dropping it for a stall (--wait-refused waits that out), or it is "
        "stopping or failed on the request");
  }
  return fail("the service kept closing the connection before any reply for " +
              std::to_string(REFUSAL_WAIT.count()) + " s: it is stopping or fails on the request");
}

std::optional<std::string> refuse_server(const platform::ServerIdentity& server,
                                         std::optional<std::uint32_t> service_pid) {
  const std::string pid = std::to_string(server.pid);
  const std::string not_service = "канал держит не служба: процесс " + pid;
  if (service_pid) {
    if (server.pid == *service_pid) return std::nullopt;
    return not_service + ", а служба " + std::string(SERVICE_NAME) + " работает в процессе " +
           std::to_string(*service_pid);
  }
  if (server.uid) {
    if (*server.uid == 0 || server.uid == server.own_uid) return std::nullopt;
    return not_service + " работает от пользователя " + std::to_string(*server.uid) +
           ", а не от root";
  }
  if (server.system_or_elevated_admin) {
    if (*server.system_or_elevated_admin) return std::nullopt;
    return not_service + " работает не от LocalSystem и не от администратора с повышенными правами";
  }
  return "канал держит процесс " + pid +
         ", чью учётную запись не удалось проверить: " + server.account_error;
}

int run(std::span<const std::string> args, const Console& console) {
  auto inv = parse_args(args);
  if (!inv) {
    console.err("ombrelctl: " + inv.error().to_string() + "\n\n" + usage());
    return EXIT_USAGE;
  }
  if (inv->help) {
    console.out(usage());
    return EXIT_OK;
  }
  auto line =
      request_line(inv->command, [](const std::string& path) { return platform::read_file(path); });
  if (!line) {
    console.err("ombrelctl: " + line.error().to_string() + "\n");
    return EXIT_USAGE;
  }
  const std::string name = inv->pipe.empty() ? platform::default_pipe_name() : inv->pipe;
  auto reply =
      exchange_past_refusals([&] { return exchange_once(name, *line); }, inv->wait_refused,
                             [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); });
  if (!reply) {
    console.err("ombrelctl: " + reply.error().to_string() + "\n");
    return EXIT_USAGE;
  }
  const Outcome o = render_reply(*reply, inv->json, std::holds_alternative<SendCmd>(inv->command));
  if (!o.out.empty()) console.out(o.out);
  if (!o.err.empty()) console.err(o.err);
  return o.exit_code;
}

}  // namespace ombrel::ctl
