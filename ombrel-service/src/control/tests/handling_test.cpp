#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config.hpp"
#include "control/handling.hpp"
#include "platform/process/process.hpp"
#include "select.hpp"
#include "singbox.hpp"
#include "testsupport.hpp"

namespace ombrel::control {
namespace {

using namespace std::chrono_literals;

ServerNode trojan(std::string remark, std::string address, std::uint16_t port = 443,
                  std::string password = "pw") {
  return ServerNode{"id-" + remark,
                    std::move(address),
                    port,
                    std::move(remark),
                    Trojan{std::move(password), "sni.example"},
                    "trojan://raw"};
}

// Named nodes on distinct literal addresses.
ServerNodes numbered(int count, std::string_view prefix = "n") {
  ServerNodes nodes;
  for (int i = 0; i < count; ++i) {
    nodes.push_back(trojan(std::string(prefix) + std::to_string(i) + " app_x",
                           "10.0.0." + std::to_string(i + 1)));
  }
  return nodes;
}

Connect make_connect(ServerNodes nodes, std::string country = "", bool proxy_only = false) {
  Connect c;
  c.nodes = std::move(nodes);
  c.country = std::move(country);
  c.proxy_only = proxy_only;
  return c;
}

std::string connect_line(Connect c) {
  return write_request(Request(std::move(c)));
}

std::string update_line(std::string app_sum, std::string service_sum) {
  return write_request(Request(Update{"2.0", "C:\\new\\app.exe", std::move(app_sum),
                                      "C:\\new\\svc.exe", std::move(service_sum)}));
}

// The world a prepare sees: a counter of its own, fixed registry lists and a
// table of host names.
struct World {
  std::atomic<std::uint64_t> counter{0};
  std::vector<std::string> seen;
  std::vector<std::string> failed;
  std::map<std::string, std::vector<IpAddress>> hosts;
  mutable std::mutex mutex;
  mutable std::vector<std::string> looked_up;

  PrepareDeps deps() {
    PrepareDeps d;
    d.counter = &counter;
    d.recent_seen = [this] { return seen; };
    d.recent_failed = [this] { return failed; };
    d.lookup = [this](const std::string& host) -> Result<std::vector<IpAddress>> {
      {
        std::lock_guard lock(mutex);
        looked_up.push_back(host);
      }
      const auto it = hosts.find(host);
      if (it == hosts.end()) return fail("имя не найдено");
      return it->second;
    };
    return d;
  }
  PreparedAction prepare(std::string_view line) { return read_and_prepare(line, deps()); }
};

supervisor::CoreLaunch launch_of(const PreparedAction& action) {
  const auto* start = std::get_if<StartConnection>(&action);
  if (start == nullptr) {
    ADD_FAILURE() << "not a StartConnection (index " << action.index() << ")";
    return {};
  }
  return start->launch;
}

TEST(ReadAndPrepare, RefusesFaultyRequestsAndMovesTheCounterOnlyPastTheNodeChecks) {
  const std::string good_sum(64, 'a');
  ServerNodes blank_address = numbered(3);
  blank_address[1].address = " \t ";
  blank_address[2].port = 0;
  ServerNodes port_zero = {trojan("Berlin app_x app_y", "1.2.3.4", 0)};
  struct Case {
    const char* name;
    std::string line;
    std::string code;
    std::string message;  // a prefix for "bad_request"
    std::uint64_t counter_after;
  };
  const std::vector<Case> cases = {
      {"empty line", "", "bad_request", "EOF while parsing a value", 0},
      {"tag case", "{\"cmd\":\"Status\"}", "bad_request", "unknown variant `Status`", 0},
      {"two objects", "{\"cmd\":\"status\"} {\"cmd\":\"status\"}", "bad_request",
       "trailing characters", 0},
      {"no nodes", "{\"nodes\":[],\"cmd\":\"connect\"}", "no_nodes", "список узлов пуст", 0},
      {"port 0: the whole remark", connect_line(make_connect(port_zero)), "bad_node",
       "негодный узел: Berlin app_x app_y", 0},
      {"first bad node wins", connect_line(make_connect(blank_address)), "bad_node",
       "негодный узел: n1 app_x", 0},
      {"a long remark comes back whole",
       connect_line(make_connect({trojan(std::string(200 * 1024, 'r'), "1.2.3.4", 0)})), "bad_node",
       "негодный узел: " + std::string(200 * 1024, 'r'), 0},
      {"nothing usable: counted", connect_line(make_connect({trojan("a", "1.1.1.1", 443, "")})),
       "no_usable_nodes", "ни один узел не пригоден для подключения", 1},
      {"app sum 63 chars", update_line(std::string(63, 'a'), good_sum), "bad_sha256",
       "сумма не похожа на sha256", 1},
      {"app sum with a g", update_line(std::string(63, 'a') + "g", good_sum), "bad_sha256",
       "сумма не похожа на sha256", 1},
      {"service sum 65 chars", update_line(good_sum, std::string(65, 'a')), "bad_sha256",
       "сумма не похожа на sha256", 1},
      {"service sum with a blank", update_line(good_sum, std::string(63, 'a') + " "), "bad_sha256",
       "сумма не похожа на sha256", 1},
  };
  World world;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PreparedAction action = world.prepare(c.line);
    const auto* refuse = std::get_if<Refuse>(&action);
    ASSERT_NE(refuse, nullptr) << "index " << action.index();
    EXPECT_EQ(refuse->code, c.code);
    if (c.code == "bad_request") {
      EXPECT_TRUE(refuse->message.starts_with(c.message)) << refuse->message;
      EXPECT_NE(refuse->message.find(" at line 1 column "), std::string::npos) << refuse->message;
    } else {
      EXPECT_EQ(refuse->message, c.message);
    }
    EXPECT_EQ(world.counter.load(), c.counter_after);
    // No reply is longer than its request plus 1 KiB.
    EXPECT_LE(write_reply(ErrorReply{refuse->code, refuse->message}).size(), c.line.size() + 1024);
  }
}

TEST(ReadAndPrepare, PlainRequestsAndWellFormedUpdates) {
  World world;
  EXPECT_EQ(world.prepare("{\"cmd\":\"status\",\"verbose\":true}"), PreparedAction(QueryStatus{}));
  EXPECT_EQ(world.prepare(" {\"cmd\":\"disconnect\"} "), PreparedAction(StopConnection{}));
  // Upper case passes and is handed on as received.
  const std::string upper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
  const std::string mixed = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789AbCdEf";
  EXPECT_EQ(
      world.prepare(update_line(upper, mixed)),
      PreparedAction(ApplyUpdate{
          Update{"2.0", "C:\\new\\app.exe", upper, "C:\\new\\svc.exe", mixed}, std::nullopt}));
  EXPECT_EQ(world.counter.load(), 0u);
}

TEST(ReadAndPrepare, LabelsTheConnectionAndItsChannels) {
  struct Case {
    const char* name;
    ServerNodes nodes;
    std::string country;
    std::string display;
    std::vector<std::string> labels;
  };
  const std::vector<Case> cases = {
      {"one node: its short label",
       {trojan("Berlin app_x app_y", "1.2.3.4")},
       "DE",
       "Berlin",
       {"Berlin"}},
      {"cut just before the separator, a blank before it kept",
       {trojan("Berlin  app_x", "1.2.3.4")},
       "",
       "Berlin ",
       {"Berlin "}},
      {"no separator: whole remark",
       {trojan("Frankfurt 2 app", "1.2.3.4")},
       "",
       "Frankfurt 2 app",
       {"Frankfurt 2 app"}},
      {"several with a country", numbered(3), "DE", "DE", {"n0", "n1", "n2"}},
      {"several without", numbered(3), "", "Автовыбор", {"n0", "n1", "n2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    const PreparedAction action = world.prepare(connect_line(make_connect(c.nodes, c.country)));
    const auto launch = launch_of(action);
    EXPECT_EQ(launch.display_label, c.display);
    EXPECT_EQ(launch.channel_labels, c.labels);
    std::vector<std::string> remarks;
    for (const auto& n : c.nodes) remarks.push_back(n.remark);
    EXPECT_EQ(launch.channel_remarks, remarks);
  }
}

TEST(ReadAndPrepare, ChoosesWithTheCounterBeforeItsStepAndTheRegistryLists) {
  const ServerNodes nodes = numbered(20);
  World world;
  world.counter = 7;
  world.seen = {"n3 app_x", "n15 app_x"};
  world.failed = {"n0 app_x", "n1 app_x"};
  const PreparedAction action = world.prepare(connect_line(make_connect(nodes)));
  EXPECT_EQ(world.counter.load(), 8u);

  std::vector<std::string> expected;
  for (const auto& n : select_nodes(nodes, 7, world.seen, world.failed)) {
    expected.push_back(n.remark);
  }
  ASSERT_EQ(expected.size(), MAX_NODES);
  EXPECT_EQ(launch_of(action).channel_remarks, expected);
  EXPECT_EQ(launch_of(action).channel_labels.size(), MAX_NODES);
}

TEST(ReadAndPrepare, BuildsTheDocumentsOfEachMode) {
  const ServerNodes nodes = numbered(2);
  Connect tunnel = make_connect(nodes);
  tunnel.bypass_apps = {"C:\\Games\\game.exe"};
  tunnel.sites = {"https://bank.example/login"};
  tunnel.only_listed = true;
  Connect proxy = tunnel;
  proxy.proxy_only = true;

  World world;
  const auto in_tunnel = launch_of(world.prepare(connect_line(tunnel)));
  EXPECT_EQ(in_tunnel.xray_config, build_xray_config(nodes, local_proxy_for(false))->text());
  const std::vector<std::string> addresses = {"10.0.0.1", "10.0.0.2"};
  EXPECT_EQ(in_tunnel.singbox_config,
            build_singbox_config(TUN_SOCKS_PORT,
                                 TunnelRouting{tunnel.bypass_apps, tunnel.sites, true}, addresses));
  EXPECT_EQ(in_tunnel.proxy_port, std::nullopt);
  // The ports no other process may hold when the cores start.
  EXPECT_EQ(in_tunnel.local_ports, std::vector<std::uint16_t>{TUN_SOCKS_PORT});

  const auto proxy_only = launch_of(world.prepare(connect_line(proxy)));
  EXPECT_EQ(proxy_only.xray_config, build_xray_config(nodes, local_proxy_for(true))->text());
  EXPECT_NE(proxy_only.xray_config.find("10809"), std::string::npos);
  EXPECT_EQ(proxy_only.singbox_config, std::nullopt);
  EXPECT_EQ(proxy_only.proxy_port, PROXY_ONLY_PORT);
  EXPECT_EQ(proxy_only.local_ports, (std::vector<std::uint16_t>{10808, 10809}));
}

TEST(ReadAndPrepare, ResolvedAddressesGoIntoBothDocumentsAndUnknownNamesStay) {
  World world;
  world.hosts["a.example"] = {Ipv6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9},
                              Ipv4{192, 0, 2, 7}};
  ServerNodes nodes = {trojan("A", "a.example"), trojan("B", "a.example", 8443),
                       trojan("C", "nowhere.example"), trojan("D", "203.0.113.5")};
  const auto launch = launch_of(world.prepare(connect_line(make_connect(nodes))));

  ServerNodes expected = nodes;
  expected[0].address = "192.0.2.7";
  expected[1].address = "192.0.2.7";
  EXPECT_EQ(launch.xray_config, build_xray_config(expected, local_proxy_for(false))->text());
  const std::vector<std::string> addresses = {"192.0.2.7", "192.0.2.7", "nowhere.example",
                                              "203.0.113.5"};
  EXPECT_EQ(launch.singbox_config, build_singbox_config(TUN_SOCKS_PORT, {}, addresses));
  EXPECT_NE(launch.xray_config.find("\"nowhere.example\""), std::string::npos);

  // Each name once; literals never.
  std::vector<std::string> looked_up = world.looked_up;
  std::sort(looked_up.begin(), looked_up.end());
  EXPECT_EQ(looked_up, (std::vector<std::string>{"a.example", "nowhere.example"}));
}

// A name server that does not answer holds a connect, and so the only
// channel, for one bound whatever the number of names; what has no answer
// by then stays as written. Lookups still out take their slots, and a name
// without a free slot is not looked up at all: a resolver that never
// answers holds a bounded number of threads.
TEST(ReadAndPrepare, LookupsEndWithinOneBoundAndStayWithinTheirSlots) {
  struct Resolver {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::atomic<bool> hold_fast{false};
    std::atomic<int> asked{0};
  };
  const auto resolver = std::make_shared<Resolver>();
  std::atomic<std::uint64_t> counter{0};
  PrepareDeps deps;
  deps.counter = &counter;
  deps.lookup_slots = std::make_shared<LookupSlots>(12);
  // Every name but one sleeps far past the bound (until the test ends).
  deps.lookup = [resolver](const std::string& host) -> Result<std::vector<IpAddress>> {
    ++resolver->asked;
    if (host == "fast.example" && !resolver->hold_fast) {
      return std::vector<IpAddress>{Ipv4{192, 0, 2, 1}};
    }
    std::unique_lock lock(resolver->mutex);
    resolver->opened.wait_for(lock, 20s, [&] { return resolver->open; });
    return std::vector<IpAddress>{Ipv4{192, 0, 2, 99}};
  };
  ServerNodes nodes = {trojan("fast", "fast.example")};
  for (int i = 0; i < 11; ++i) {
    nodes.push_back(trojan("slow" + std::to_string(i), "slow" + std::to_string(i) + ".example"));
  }
  const std::string line = connect_line(make_connect(nodes));

  const auto began = std::chrono::steady_clock::now();
  const auto first = launch_of(read_and_prepare(line, deps));
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took, LOOKUP_BOUND - 100ms);
  EXPECT_LT(took, LOOKUP_BOUND + 3s);
  EXPECT_NE(first.xray_config.find("\"192.0.2.1\""), std::string::npos);
  EXPECT_NE(first.xray_config.find("\"slow10.example\""), std::string::npos);
  EXPECT_NE(first.singbox_config->find("\"192.0.2.1/32\""), std::string::npos);
  for (const auto* config : {&first.xray_config, &*first.singbox_config}) {
    EXPECT_EQ(config->find("192.0.2.99"), std::string::npos);
  }
  EXPECT_EQ(resolver->asked, 12);
  EXPECT_EQ(deps.lookup_slots->out(), 11u);

  // Eleven slots are held by the names still out: the next connect looks
  // up one name and waits for nothing it could not start. That name is held
  // too, or its slot, freed at once, would go to the next name.
  deps.lookup_bound = 200ms;
  resolver->hold_fast = true;
  const auto second_began = std::chrono::steady_clock::now();
  (void)read_and_prepare(line, deps);  // its documents were asked of the first
  EXPECT_LT(std::chrono::steady_clock::now() - second_began, 2s);
  EXPECT_EQ(resolver->asked, 13);
  EXPECT_EQ(deps.lookup_slots->out(), 12u);

  {
    const std::lock_guard lock(resolver->mutex);
    resolver->open = true;
  }
  resolver->opened.notify_all();
  EXPECT_TRUE(testsupport::wait_until([&] { return deps.lookup_slots->out() == 0; }, 10s));
}

TEST(ResolvedAddress, TakesTheFirstIpv4ElseTheFirstIpv6) {
  const Ipv6 v6a{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const Ipv6 v6b{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  struct Case {
    const char* name;
    std::string address;
    std::optional<std::vector<IpAddress>> answer;  // nullopt: the lookup fails
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"first IPv4 after IPv6", "h.example",
       std::vector<IpAddress>{v6a, Ipv4{198, 51, 100, 1}, Ipv4{198, 51, 100, 2}}, "198.51.100.1"},
      {"only IPv6", "h.example", std::vector<IpAddress>{v6b, v6a}, "2001:db8::2"},
      {"empty answer", "h.example", std::vector<IpAddress>{}, "h.example"},
      {"failed lookup", "h.example", std::nullopt, "h.example"},
      {"IPv4 literal", "192.0.2.1", std::nullopt, "192.0.2.1"},
      {"IPv6 literal as written", "2001:DB8:0:0::1", std::nullopt, "2001:DB8:0:0::1"},
      {"literal in blanks", " 192.0.2.1 ", std::nullopt, "192.0.2.1"},
      {"name in blanks, unknown", " h.example ", std::nullopt, "h.example"},
      {"name in blanks, known", " h.example ", std::vector<IpAddress>{Ipv4{192, 0, 2, 9}},
       "192.0.2.9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> asked;
    const LookupFn lookup = [&](const std::string& host) -> Result<std::vector<IpAddress>> {
      asked.push_back(host);
      if (!c.answer) return fail("нет");
      return *c.answer;
    };
    EXPECT_EQ(resolved_address(c.address, lookup), c.expected);
    if (parse_ip_address(c.expected) && !c.answer) {
      EXPECT_TRUE(asked.empty());
    }
  }
}

// ---- perform ----------------------------------------------------------------

// Starts a real stand-in proxy core for each launch, so that status polls see
// a live process; or fails with `failure` when it is set.
struct FakeCores {
  testsupport::TempDir dir{"handling"};
  std::string xray = testsupport::install_standin(dir.path(), testsupport::Standin::Xray);
  std::optional<Error> failure;
  std::vector<supervisor::CoreLaunch> launches;

  supervisor::StartCoresFn start_fn() {
    return [this](const supervisor::CoreLaunch& launch) -> Result<supervisor::RunningCores> {
      launches.push_back(launch);
      if (failure) return fail(*failure);
      platform::SpawnOptions options;
      options.program = xray;
      options.std_in = platform::Stdio::Null;
      options.std_out = platform::Stdio::Null;
      options.std_err = platform::Stdio::Null;
      auto process = platform::spawn(options);
      if (!process) return fail(process.error());
      supervisor::RunningCores cores;
      cores.xray = std::move(*process);
      cores.display_label = launch.display_label;
      cores.channel_labels = launch.channel_labels;
      cores.channel_remarks = launch.channel_remarks;
      cores.started_at = std::chrono::steady_clock::now();
      cores.current_channel = serving::make_current_channel();
      cores.proxy_port = launch.proxy_port;
      return cores;
    };
  }
};

struct Performer {
  FakeCores cores;
  supervisor::SharedState shared{cores.start_fn()};
  World world;
  PerformDeps deps;

  std::string run(std::string_view line) {
    auto lock = shared.lock();
    const Reply reply = perform(world.prepare(line), shared, lock, deps);
    return write_reply(reply);
  }
};

const std::string STATUS = "{\"cmd\":\"status\"}";
const std::string DISCONNECT = "{\"cmd\":\"disconnect\"}";

TEST(Perform, AnswersEveryActionWithItsReply) {
  Performer p;
  const std::string tunnel = connect_line(make_connect(numbered(3), "DE"));
  const std::string proxy =
      connect_line(make_connect({trojan("Berlin app_x app_y", "1.2.3.4")}, "", true));
  struct Step {
    std::string line;
    std::string reply;
  };
  const std::vector<Step> steps = {
      {STATUS, "{\"state\":\"disconnected\"}\n"},
      {"{\"nodes\":[],\"cmd\":\"connect\"}",
       "{\"state\":\"error\",\"code\":\"no_nodes\",\"message\":\"список узлов пуст\"}\n"},
      {proxy, "{\"state\":\"connected\",\"node\":\"Berlin\",\"proxy_port\":10809}\n"},
      {STATUS, "{\"state\":\"connected\",\"node\":\"Berlin\",\"proxy_port\":10809}\n"},
      {tunnel, "{\"state\":\"connected\",\"node\":\"DE\"}\n"},
      {STATUS, "{\"state\":\"connected\",\"node\":\"DE\"}\n"},
      {DISCONNECT, "{\"state\":\"disconnected\"}\n"},
      {STATUS, "{\"state\":\"disconnected\"}\n"},
      {DISCONNECT, "{\"state\":\"disconnected\"}\n"},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(p.run(steps[i].line), steps[i].reply);
  }
  ASSERT_EQ(p.cores.launches.size(), 2u);
  EXPECT_EQ(p.cores.launches[0].proxy_port, PROXY_ONLY_PORT);
  EXPECT_EQ(p.cores.launches[1].proxy_port, std::nullopt);
}

TEST(Perform, ReportsAFailedStartAndThenALostCore) {
  Performer p;
  p.cores.failure = Error("нет такого файла").wrapped("не удалось запустить xray");
  const std::string failed =
      "{\"state\":\"error\",\"code\":\"core_start_failed\",\"message\":\"не удалось запустить "
      "xray: нет такого файла\"}\n";
  const std::string line = connect_line(make_connect(numbered(1)));
  EXPECT_EQ(p.run(line), failed);
  EXPECT_EQ(p.run(STATUS), failed);

  p.cores.failure.reset();
  EXPECT_EQ(p.run(line), "{\"state\":\"connected\",\"node\":\"n0\"}\n");
  {
    auto lock = p.shared.lock();
    ASSERT_TRUE(p.shared.state().cores);
    ASSERT_TRUE(p.shared.state().cores->xray.terminate(1));
    ASSERT_TRUE(p.shared.state().cores->xray.wait());
  }
  EXPECT_EQ(p.run(STATUS), "{\"state\":\"connecting\"}\n");
}

TEST(Perform, ARefusedConnectLeavesTheRunningCoresAlone) {
  Performer p;
  ASSERT_EQ(p.run(connect_line(make_connect(numbered(2)))),
            "{\"state\":\"connected\",\"node\":\"Автовыбор\"}\n");
  std::uint32_t pid = 0;
  {
    auto lock = p.shared.lock();
    pid = p.shared.state().cores->xray.pid();
  }
  ServerNodes bad = numbered(2);
  bad[1].address = "   ";
  EXPECT_EQ(
      p.run(connect_line(make_connect(bad))),
      "{\"state\":\"error\",\"code\":\"bad_node\",\"message\":\"негодный узел: n1 app_x\"}\n");
  EXPECT_EQ(p.run(connect_line(make_connect({trojan("x", "1.1.1.1", 443, "")}))),
            "{\"state\":\"error\",\"code\":\"no_usable_nodes\",\"message\":\"ни один узел не "
            "пригоден для подключения\"}\n");
  EXPECT_EQ(p.run(STATUS), "{\"state\":\"connected\",\"node\":\"Автовыбор\"}\n");
  EXPECT_EQ(p.cores.launches.size(), 1u);
  auto lock = p.shared.lock();
  ASSERT_TRUE(p.shared.state().cores);
  EXPECT_EQ(p.shared.state().cores->xray.pid(), pid);
}

TEST(Perform, UpdatesRunWithoutTheStateLock) {
  const std::string sum(64, 'b');
  struct Case {
    selfupdate::UpdateDecision decision;
    std::string reply;
  };
  const std::vector<Case> cases = {
      {selfupdate::UpdateFailed{"сумма C:\\new\\app.exe не сошлась"},
       "{\"state\":\"error\",\"code\":\"update_failed\",\"message\":\"сумма C:\\\\new\\\\app.exe "
       "не сошлась\"}\n"},
      {selfupdate::AlreadyCurrent{},
       "{\"state\":\"error\",\"code\":\"already_current\",\"message\":\"эта версия уже "
       "установлена\"}\n"},
      {selfupdate::UpdateAccepted{false},
       "{\"state\":\"updating\",\"version\":\"2.0\",\"tunnel_drops\":false}\n"},
      {selfupdate::UpdateAccepted{true},
       "{\"state\":\"updating\",\"version\":\"2.0\",\"tunnel_drops\":true}\n"},
  };
  for (const auto& c : cases) {
    Performer p;
    std::vector<std::string> offered;
    bool lock_was_free = false;
    p.deps.apply_update = [&](const selfupdate::UpdateFields& f) {
      offered = {f.version, f.app_path, f.app_sha256, f.service_path, f.service_sha256};
      auto other = std::async(std::launch::async, [&] { auto l = p.shared.lock(); });
      lock_was_free = other.wait_for(10s) == std::future_status::ready;
      return c.decision;
    };
    auto lock = p.shared.lock();
    const Reply reply = perform(p.world.prepare(update_line(sum, sum)), p.shared, lock, p.deps);
    EXPECT_EQ(write_reply(reply), c.reply);
    EXPECT_FALSE(lock.owns_lock());
    EXPECT_TRUE(lock_was_free);
    EXPECT_EQ(offered,
              (std::vector<std::string>{"2.0", "C:\\new\\app.exe", sum, "C:\\new\\svc.exe", sum}));
  }
}

TEST(StateHandler, PreparesWithoutTheLockThenPerformsUnderIt) {
  FakeCores cores;
  supervisor::SharedState shared(cores.start_fn());
  World world;
  auto handler = make_state_handler(shared, world.deps(), {});
  RequestHandler::Perform step;
  {
    // Preparing a connect must not wait for the state lock.
    auto held = shared.lock();
    auto prepared = std::async(std::launch::async, [&] {
      return handler->prepare(connect_line(make_connect(numbered(1), "", true)));
    });
    ASSERT_EQ(prepared.wait_for(10s), std::future_status::ready);
    step = prepared.get();
    EXPECT_TRUE(cores.launches.empty());
  }
  EXPECT_EQ(step().value_or("?"),
            "{\"state\":\"connected\",\"node\":\"n0\",\"proxy_port\":10809}\n");
  EXPECT_TRUE(handler->prepare("")().value_or("?").starts_with(
      "{\"state\":\"error\",\"code\":\"bad_request\",\"message\":\"EOF while parsing a value"));
  EXPECT_EQ(handler->prepare(DISCONNECT)().value_or("?"), "{\"state\":\"disconnected\"}\n");
  // The lock is free again after each step.
  EXPECT_TRUE(shared.lock().owns_lock());
}

}  // namespace
}  // namespace ombrel::control
