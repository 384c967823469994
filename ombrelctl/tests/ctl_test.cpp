#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/pipe_server.hpp"
#include "ctl.hpp"
#include "platform/channel/pipe.hpp"
#include "testsupport.hpp"

namespace ombrel::ctl {
namespace {

using namespace std::chrono_literals;

Result<Invocation> parse(std::vector<std::string> args) {
  return parse_args(args);
}

TEST(CtlArgs, ReadsEveryCommand) {
  auto connect = parse({"--json", "connect", "nodes.json", "--proxy-only", "--country", "DE",
                        "--bypass-app", "a.exe", "--bypass-app=C:\\b c\\b.exe", "--site",
                        "x.example", "--only-listed", "--pipe", "/tmp/s.sock"});
  ASSERT_TRUE(connect) << connect.error().to_string();
  EXPECT_TRUE(connect->json);
  EXPECT_EQ(connect->pipe, "/tmp/s.sock");
  const auto& c = std::get<ConnectCmd>(connect->command);
  EXPECT_EQ(c.nodes_file, "nodes.json");
  EXPECT_TRUE(c.proxy_only);
  EXPECT_EQ(c.country, "DE");
  EXPECT_EQ(c.bypass_apps, (std::vector<std::string>{"a.exe", "C:\\b c\\b.exe"}));
  EXPECT_EQ(c.sites, std::vector<std::string>{"x.example"});
  EXPECT_TRUE(c.only_listed);

  auto update = parse({"update", "--version", "1.2", "--app", "a", "--app-sha256", "h1",
                       "--service", "s", "--service-sha256=h2"});
  ASSERT_TRUE(update) << update.error().to_string();
  const auto& u = std::get<UpdateCmd>(update->command);
  EXPECT_EQ(u.version, "1.2");
  EXPECT_EQ(u.app_path, "a");
  EXPECT_EQ(u.app_sha256, "h1");
  EXPECT_EQ(u.service_path, "s");
  EXPECT_EQ(u.service_sha256, "h2");

  auto send = parse({"send", "--", "-{not json"});
  ASSERT_TRUE(send);
  EXPECT_EQ(std::get<SendCmd>(send->command).line, "-{not json");
  EXPECT_TRUE(std::holds_alternative<StatusCmd>(parse({"status"})->command));
  EXPECT_TRUE(std::holds_alternative<DisconnectCmd>(parse({"disconnect"})->command));
  EXPECT_TRUE(parse({"--help"})->help);
}

TEST(CtlArgs, RefusesFaultyCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "no command given"},
      {{"stat"}, "unknown command stat"},
      {{"status", "extra"}, "unexpected argument extra"},
      {{"connect"}, "connect needs the nodes file"},
      {{"connect", "a.json", "b.json"}, "unexpected argument b.json"},
      {{"connect", "a.json", "--country"}, "option --country needs a value"},
      {{"status", "--proxy-only"}, "option --proxy-only belongs to connect, not to status"},
      {{"connect", "a.json", "--version", "1"},
       "option --version belongs to update, not to connect"},
      {{"update", "--version", "1", "--app", "a", "--app-sha256", "h", "--service", "s"},
       "update needs --service-sha256"},
      {{"send"}, "send needs the request line"},
      {{"status", "--verbose"}, "unknown option --verbose"},
      {{"status", "--json=yes"}, "option --json takes no value"},
  };
  for (const auto& c : cases) {
    auto got = parse(c.args);
    ASSERT_FALSE(got) << c.message;
    EXPECT_EQ(got.error().to_string(), c.message);
  }
}

TEST(CtlRequest, ConnectCarriesTheNodesAndOptions) {
  ConnectCmd c;
  c.nodes_file = "n.json";
  c.country = "Россия";
  c.bypass_apps = {"a.exe"};
  const auto files = [](const std::string& path) -> Result<std::string> {
    if (path == "n.json") return std::string(R"([{"id":"1","port":443}])");
    return fail("no file");
  };
  auto line = request_line(c, files);
  ASSERT_TRUE(line) << line.error().to_string();
  EXPECT_EQ(*line, R"({"cmd":"connect","nodes":[{"id":"1","port":443}],"country":"Россия",)"
                   R"("proxy_only":false,"bypass_apps":["a.exe"],"sites":[],"only_listed":false})"
                   "\n");

  const auto object = [](const std::string&) -> Result<std::string> {
    return std::string(R"({"nodes":[]})");
  };
  EXPECT_EQ(request_line(c, object).error().to_string(),
            "n.json is not a JSON array of server nodes");
  c.nodes_file = "missing.json";
  EXPECT_EQ(request_line(c, files).error().to_string(), "cannot read missing.json: no file");
}

TEST(CtlRequest, OtherCommands) {
  const auto no_files = [](const std::string&) -> Result<std::string> { return fail("none"); };
  EXPECT_EQ(request_line(StatusCmd{}, no_files).value(), "{\"cmd\":\"status\"}\n");
  EXPECT_EQ(request_line(DisconnectCmd{}, no_files).value(), "{\"cmd\":\"disconnect\"}\n");
  EXPECT_EQ(request_line(SendCmd{"{\"cmd\":1}"}, no_files).value(), "{\"cmd\":1}\n");
  // Relative paths are sent as full paths: the service's working folder is not ours.
  auto update = request_line(UpdateCmd{"2.0", "new-app", "aa", "new-service", "bb"}, no_files);
  ASSERT_TRUE(update);
  const auto sent = nlohmann::json::parse(*update);
  for (const auto& [member, name] :
       {std::pair{"app_path", "new-app"}, {"service_path", "new-service"}}) {
    const std::string text = sent[member].get<std::string>();
    const std::filesystem::path path(std::u8string(text.begin(), text.end()));
    EXPECT_TRUE(path.is_absolute()) << text;
    EXPECT_EQ(path.filename(), name);
  }
  EXPECT_EQ(sent["app_sha256"], "aa");
  EXPECT_EQ(sent["service_sha256"], "bb");
  EXPECT_NE(update->find("\"version\":\"2.0\""), std::string::npos) << *update;
}

TEST(CtlReply, RendersEveryShape) {
  struct Case {
    std::string reply;
    std::string out;
    std::string err;
    int code;
  };
  const std::vector<Case> cases = {
      {"{\"state\":\"disconnected\"}\n", "disconnected\n", "", 0},
      {"{\"state\":\"connecting\"}\n", "connecting\n", "", 0},
      {"{\"state\":\"connected\",\"node\":\"Автовыбор\"}\n", "connected: Автовыбор\n", "", 0},
      {"{\"state\":\"connected\",\"node\":\"DE\",\"proxy_port\":10809}\n",
       "connected: DE\nlocal HTTP proxy: 127.0.0.1:10809\n", "", 0},
      {"{\"state\":\"updating\",\"version\":\"2\",\"tunnel_drops\":false}\n", "updating to 2\n", "",
       0},
      {"{\"state\":\"error\",\"code\":\"no_nodes\",\"message\":\"список узлов пуст\"}\n", "",
       "error: список узлов пуст (no_nodes)\n", 1},
      {"not json\n", "", "ombrelctl: unreadable reply: not json\n", 2},
      // A remark or a path the service hands back is shown, never obeyed; a
      // backslash of its own is doubled, so only the escapes read as such.
      {"{\"state\":\"connected\",\"node\":\"DE\\n\\u001b[2J\\u2028\\u202e\"}\n",
       "connected: DE\\n\\x1b[2J\\u2028\\u202e\n", "", 0},
      {"{\"state\":\"error\",\"code\":\"update_failed\",\"message\":\"нет C:\\\\a\\rb\"}\n", "",
       "error: нет C:\\\\a\\rb (update_failed)\n", 1},
      {"", "", "ombrelctl: the service closed the connection without a reply\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    const Outcome human = render_reply(c.reply, false, false);
    EXPECT_EQ(human.out, c.out);
    EXPECT_EQ(human.err, c.err);
    EXPECT_EQ(human.exit_code, c.code);
    // --json prints what came, with the same exit code.
    if (!c.reply.empty()) {
      const Outcome json = render_reply(c.reply, true, false);
      EXPECT_EQ(json.out, c.reply);
      EXPECT_EQ(json.err, "");
      EXPECT_EQ(json.exit_code, c.code);
    }
  }
}

// A connection that ends before any reply is said as such, and waited out
// only when asked.
TEST(CtlExchange, ConnectionsClosedBeforeAnyReplyAreTriedAgainOnlyWhenAsked) {
  const std::string turned_away = "the service closed the connection before any reply: it turns";
  const std::string kept = "the service kept closing the connection before any reply for 35 s";
  struct Case {
    const char* name;
    std::vector<std::string> replies;  // one per try, "!" a connection not made; last repeats
    bool wait;
    std::string result;  // the reply, or the start of the error
    int tries;
  };
  const std::vector<Case> cases = {
      {"reply at once", {"R"}, false, "R", 1},
      {"closed, no waiting", {"", "R"}, false, turned_away, 1},
      {"closed twice, then a reply", {"", "", "R"}, true, "R", 3},
      {"closed for good", {""}, true, kept, 36},
      {"not reachable: not tried again", {"!", "R"}, true, "no channel", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int tries = 0;
    int pauses = 0;
    const auto once = [&]() -> Result<std::string> {
      const std::string& r = c.replies[std::min<std::size_t>(tries++, c.replies.size() - 1)];
      if (r == "!") return fail("no channel");
      return r;
    };
    const auto got = exchange_past_refusals(once, c.wait, [&](std::chrono::milliseconds d) {
      EXPECT_EQ(d, 1s);
      ++pauses;
    });
    EXPECT_EQ(got ? *got : got.error().to_string().substr(0, c.result.size()), c.result);
    EXPECT_EQ(tries, c.tries);
    EXPECT_EQ(pauses, c.tries - 1);
  }
}

TEST(CtlServerCheck, OnlyTheServiceIsTalkedTo) {
  const std::string not_service = "канал держит не служба: процесс 4242";
  platform::ServerIdentity user, admin, unknown;
  user.pid = admin.pid = unknown.pid = 4242;
  user.system_or_elevated_admin = false;
  admin.system_or_elevated_admin = true;
  unknown.account_error = "Access is denied. (os error 5)";
  const auto linux_uid = [](std::uint32_t uid) {
    platform::ServerIdentity server;
    server.pid = 4242;
    server.uid = uid;
    server.own_uid = 1000;
    return server;
  };
  const struct {
    const char* name;
    platform::ServerIdentity server;
    std::optional<std::uint32_t> service_pid;
    std::optional<std::string> refusal;
  } cases[] = {
      {"the service's own process", user, 4242, std::nullopt},
      {"another process while the service runs", admin, 17,
       not_service + ", а служба OmbrelService работает в процессе 17"},
      {"LocalSystem or elevated, the service not running", admin, std::nullopt, std::nullopt},
      {"an ordinary user, the service not running", user, std::nullopt,
       not_service + " работает не от LocalSystem и не от администратора с повышенными правами"},
      {"an account that cannot be read", unknown, std::nullopt,
       "канал держит процесс 4242, чью учётную запись не удалось проверить: Access is denied. (os "
       "error 5)"},
      {"root", linux_uid(0), std::nullopt, std::nullopt},
      {"the caller's own user", linux_uid(1000), std::nullopt, std::nullopt},
      {"another user", linux_uid(1001), std::nullopt,
       not_service + " работает от пользователя 1001, а не от root"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(refuse_server(c.server, c.service_pid), c.refusal) << c.name;
  }
}

// The service's end, played by serve_pipe with canned replies.
class FakeService final : public control::RequestHandler {
 public:
  Perform prepare(std::string_view line) override {
    std::lock_guard lock(mutex);
    lines.emplace_back(line);
    std::string reply = replies.empty() ? "{\"state\":\"disconnected\"}\n" : replies.front();
    if (!replies.empty()) replies.erase(replies.begin());
    return [reply]() -> Result<std::string> { return reply; };
  }
  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<std::string> replies;
};

// serve_pipe with a FakeService on a channel of its own, until dropped; and
// ombrelctl run against it, its output kept.
class Served {
 public:
  explicit Served(control::PipeServerOptions options = {}, std::vector<std::string> replies = {}) {
    service.replies = std::move(replies);
#ifdef _WIN32
    std::random_device rd;
    name = "\\\\.\\pipe\\ombrelctl-test-" + std::to_string(rd()) + std::to_string(rd());
#else
    name = dir_.file("ctl.sock");
#endif
    options.pipe_name = name;
    thread_ = std::jthread(
        [this, options](std::stop_token stop) { control::serve_pipe(service, options, stop); });
  }
  int run_ctl(std::vector<std::string> args) {
    out.clear();
    err.clear();
    args.insert(args.begin(), {"--pipe", name});
    return run(args, Console{[this](std::string_view s) { out += s; },
                             [this](std::string_view s) { err += s; }});
  }

  FakeService service;
  std::string name, out, err;

 private:
  testsupport::TempDir dir_{"ctl"};
  std::jthread thread_;  // last: stopped before what it uses goes
};

TEST(Ctl, TalksToTheServiceOverTheChannel) {
  const std::string refused =
      "{\"state\":\"error\",\"code\":\"bad_request\",\"message\":\"EOF while parsing a value at "
      "line 1 column 0\"}\n";
  Served s({}, {"{\"state\":\"connected\",\"node\":\"Berlin\"}\n", refused,
                "{\"state\":\"disconnected\"}\n"});
  EXPECT_EQ(s.run_ctl({"status"}), 0);
  EXPECT_EQ(s.out, "connected: Berlin\n");
  EXPECT_EQ(s.run_ctl({"send", ""}), 1);
  EXPECT_EQ(s.out, refused);
  EXPECT_EQ(s.run_ctl({"--json", "disconnect"}), 0);
  EXPECT_EQ(s.out, "{\"state\":\"disconnected\"}\n");
  EXPECT_EQ(s.run_ctl({"connect"}), 2);
  EXPECT_TRUE(s.err.starts_with("ombrelctl: connect needs the nodes file\n\nUsage:")) << s.err;
  {
    std::lock_guard lock(s.service.mutex);
    EXPECT_EQ(s.service.lines,
              (std::vector<std::string>{"{\"cmd\":\"status\"}", "", "{\"cmd\":\"disconnect\"}"}));
  }
  // Nobody serves this one.
  s.name += "-nobody";
  EXPECT_EQ(s.run_ctl({"status"}), 2);
  EXPECT_TRUE(s.err.starts_with("ombrelctl: не удалось подключиться к каналу " + s.name)) << s.err;
  EXPECT_EQ(s.out, "");
}

// Dropped for stalling, this process is turned away for a while: ombrelctl
// says so, and with --wait-refused waits until it is served.
TEST(Ctl, SaysWhenTurnedAwayAndWaitsItOutWhenAsked) {
  control::PipeServerOptions options;
  options.client_timeout = 200ms;
  options.stall_penalty = 2s;
  options.diagnostics = [](std::string_view) {};
  Served s(options);
  {
    auto staller = platform::PipeClient::connect(s.name, 10s);
    ASSERT_TRUE(staller) << staller.error().to_string();
    EXPECT_EQ(staller->read_to_end().value_or("?"), "");
  }
  EXPECT_EQ(s.run_ctl({"status"}), 2);
  EXPECT_TRUE(s.err.starts_with("ombrelctl: the service closed the connection before any reply"))
      << s.err;
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(s.run_ctl({"--wait-refused", "status"}), 0);
  EXPECT_EQ(s.out, "disconnected\n");
  EXPECT_EQ(s.err, "");
  std::lock_guard lock(s.service.mutex);
  EXPECT_EQ(s.service.lines, std::vector<std::string>{"{\"cmd\":\"status\"}"});
}

}  // namespace
}  // namespace ombrel::ctl
