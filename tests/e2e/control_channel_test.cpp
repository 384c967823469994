// The control channel of the real service: ombrel-service "run" in a
// temporary installation folder with the stand-in cores next to it, talked
// to over the real pipe (Windows) or socket (Linux).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "platform/process/selfstats.hpp"
#include "running_service.hpp"
#include "testsupport.hpp"

namespace ombrel::control_e2e {
namespace {

using namespace std::chrono_literals;
using e2e::DISCONNECTED;
using e2e::read_file;
using e2e::STATUS;
using testsupport::InstallDir;
using testsupport::TempDir;
using testsupport::wait_until;

std::string sample_nodes() {
  const auto text = read_file(platform::join_path(
      platform::join_path(testsupport::source_dir(), "docs"), "sample-nodes.json"));
  EXPECT_TRUE(text) << "docs/sample-nodes.json";
  // One request is one line; the file is laid out for reading.
  std::string line = text.value_or("[]");
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  return line;
}

std::string connect_line(const std::string& nodes, const std::string& more = "") {
  return "{\"cmd\":\"connect\",\"nodes\":" + nodes + more + "}\n";
}

// One node of the wire form, on a literal address.
std::string trojan_node(const std::string& remark, const std::string& address, int port,
                        const std::string& password = "pw") {
  return "{\"id\":\"x\",\"address\":\"" + address + "\",\"port\":" + std::to_string(port) +
         ",\"remark\":\"" + remark + "\",\"protocol\":{\"Trojan\":{\"password\":\"" + password +
         "\",\"sni\":\"s\"}},\"raw\":\"\"}";
}

// A JSON array of nodes. Text is built by appending: g++ 12 at -O3 reports
// a false overlap for "literal" + std::string&&.
std::string list_of(const std::vector<std::string>& nodes) {
  std::string out = "[";
  for (const auto& n : nodes) {
    if (out.size() > 1) out += ",";
    out += n;
  }
  out += "]";
  return out;
}

const std::string DISCONNECT = "{\"cmd\":\"disconnect\"}\n";

const std::string EARLIER_LOG = "2026-01-01T00:00:00.000Z an earlier run\n";
bool earlier_log_written = false;

e2e::ServiceSetup control_setup() {
  e2e::ServiceSetup setup("control-e2e");
  // An earlier run's log, wherever the data folder is there to hold one.
  setup.prepare = [](const testsupport::InstallDir&, const std::string&) {
    if (std::filesystem::is_directory(testsupport::fs_path(platform::data_dir()))) {
      e2e::write_file(platform::join_path(platform::data_dir(), "service-diag.log"), EARLIER_LOG);
      earlier_log_written = true;
    }
  };
  return setup;
}

// The service with the stand-in cores next to it, torn down with a
// disconnect so that no core outlives the test.
class Service : public e2e::RunningService {
 public:
  Service() : RunningService(control_setup()) {}
  ~Service() { (void)exchange(DISCONNECT, 10s); }

  std::string data_file(std::string_view name) const {
    return platform::join_path(platform::data_dir(), name);
  }
};

// One connection made by a process of its own (standin-hostile, "once"):
// the service turns away for a while a process it dropped for stalling, so
// a client that is meant to stall must not be the test's own process.
class ForeignClient {
 public:
  ForeignClient(const std::string& pipe, const std::string& behaviour) {
    platform::SpawnOptions options;
    options.program =
        platform::join_path(testsupport::bin_dir(), testsupport::exe_name("standin-hostile"));
    options.args = {pipe, behaviour, "once"};
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Pipe;
    options.std_err = platform::Stdio::Null;
    auto process = platform::spawn(options);
    if (!process) {
      ADD_FAILURE() << "cannot start the client: " << process.error().to_string();
      return;
    }
    process_ = std::move(*process);
    out_ = process_.take_stdout();
  }

  // Whether the connection was made; blocks until it is or the client gives up.
  bool connected() {
    while (out_ && said_.find('\n') == std::string::npos) {
      if (!read_more()) break;
    }
    return said_.starts_with(CONNECTED);
  }

  // Everything the service sent on the connection, once the client is done.
  std::string received() {
    while (out_ && read_more()) {
    }
    EXPECT_EQ(process_.wait().value_or(-1), 0);
    return said_.starts_with(CONNECTED) ? said_.substr(CONNECTED.size()) : "(no connection)";
  }

 private:
  static constexpr std::string_view CONNECTED = "connected\n";

  bool read_more() {
    std::array<char, 4096> buf;
    auto n = out_->read(buf);
    if (!n || *n == 0) {
      out_.reset();
      return false;
    }
    said_.append(buf.data(), *n);
    return true;
  }

  platform::Process process_;
  std::optional<platform::PipeReader> out_;
  std::string said_;
};

std::string error_reply(const std::string& code, const std::string& message) {
  return "{\"state\":\"error\",\"code\":\"" + code + "\",\"message\":\"" + message + "\"}\n";
}

TEST(ControlChannel, AnswersEveryRequestKind) {
  Service service;
  const std::string nodes = sample_nodes();
  const std::string& xray = service.install().xray;
  const std::string& sing_box = service.install().sing_box;

  EXPECT_EQ(service.ask(connect_line(nodes, ",\"proxy_only\":true,\"country\":\"NL\"")),
            "{\"state\":\"connected\",\"node\":\"NL\",\"proxy_port\":10809}\n");
  EXPECT_EQ(service.ask(STATUS),
            "{\"state\":\"connected\",\"node\":\"NL\",\"proxy_port\":10809}\n");
  const auto document = testsupport::wait_for_record(xray, ".stdin");
  ASSERT_TRUE(document);
  for (const char* part : {"\"port\": 10808", "\"port\": 10809", "\"203.0.113.10\"",
                           "\"198.51.100.20\"", "\"tag\": \"p3\""}) {
    EXPECT_NE(document->find(part), std::string::npos) << part;
  }
  EXPECT_EQ(testsupport::run_count(sing_box), 0);

  const std::string tunnel = connect_line(
      nodes, ",\"bypass_apps\":[\"C:\\\\Games\\\\game.exe\"],\"sites\":[\"bank.example\"]");
  EXPECT_EQ(service.ask(tunnel), "{\"state\":\"connected\",\"node\":\"Автовыбор\"}\n");
  EXPECT_EQ(service.ask(STATUS), "{\"state\":\"connected\",\"node\":\"Автовыбор\"}\n");
  // The stand-ins keep their records a moment after they start.
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(xray) == 2; }));
  const std::string tunnel_json = service.data_file("tunnel.json");
  const std::vector<std::string> args = {"run", "-c", tunnel_json, "--disable-color"};
  EXPECT_TRUE(wait_until([&] { return testsupport::recorded_args(sing_box) == args; }))
      << testsupport::recorded_args(sing_box).size();
  const auto tunnel_doc = read_file(tunnel_json);
  ASSERT_TRUE(tunnel_doc);
  for (const char* part :
       {"\"server_port\": 10820", "\"203.0.113.10/32\"", "\"game.exe\"", "\"bank.example\""}) {
    EXPECT_NE(tunnel_doc->find(part), std::string::npos) << part;
  }

  // Refusals leave the running cores alone.
  const std::string sum(64, 'a');
  const std::string missing = service.install().file("missing-app");
  struct Refusal {
    std::string line;
    std::string reply;  // a prefix for update_failed, whose text is the file's
  };
  const std::vector<Refusal> refusals = {
      {"{\"nodes\":[],\"cmd\":\"connect\"}\n", error_reply("no_nodes", "список узлов пуст")},
      {connect_line(list_of(
           {trojan_node("ok", "192.0.2.1", 443), trojan_node("Berlin app_x app_y", "   ", 443)})),
       error_reply("bad_node", "негодный узел: Berlin app_x app_y")},
      {connect_line(list_of({trojan_node("zero", "192.0.2.1", 0)})),
       error_reply("bad_node", "негодный узел: zero")},
      {connect_line(list_of({trojan_node("nopw", "192.0.2.1", 443, "")})),
       error_reply("no_usable_nodes", "ни один узел не пригоден для подключения")},
      {"{\"cmd\":\"update\",\"version\":\"9\",\"app_path\":\"a\",\"app_sha256\":\"" +
           sum.substr(1) + "g\",\"service_path\":\"b\",\"service_sha256\":\"" + sum + "\"}\n",
       error_reply("bad_sha256", "сумма не похожа на sha256")},
      {nlohmann::json{{"cmd", "update"},
                      {"version", "9"},
                      {"app_path", missing},
                      {"app_sha256", sum},
                      {"service_path", missing},
                      {"service_sha256", sum}}
               .dump() +
           "\n",
       "{\"state\":\"error\",\"code\":\"update_failed\",\"message\":\""},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.line);
    const std::string reply = service.ask(r.line);
    EXPECT_TRUE(reply.starts_with(r.reply)) << reply;
  }
  EXPECT_TRUE(service.said("обновление не поставлено: "));
  // Standard error reaches the service's own log too, each line after its
  // time, and the earlier run's log is kept beside it.
  // A line "YYYY-MM-DDTHH:MM:SS.mmmZ " + text: digits where the template has 9.
  const auto stamped = [](const std::string& log, std::string_view text) {
    constexpr std::string_view shape = "9999-99-99T99:99:99.999Z ";
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      if (at < shape.size()) continue;
      const std::size_t start = at - shape.size();
      if (start > 0 && log[start - 1] != '\n') continue;
      bool fits = true;
      for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = log[start + i];
        fits = fits && (shape[i] == '9' ? c >= '0' && c <= '9' : c == shape[i]);
      }
      if (fits) return true;
    }
    return false;
  };
  EXPECT_TRUE(wait_until([&] {
    return stamped(read_file(service.data_file("service-diag.log")).value_or(""),
                   "обновление не поставлено: ");
  })) << read_file(service.data_file("service-diag.log")).value_or("(no log)");
  if (earlier_log_written) {
    EXPECT_EQ(read_file(service.data_file("service-diag.prev.log")), EARLIER_LOG);
  }
  EXPECT_EQ(service.ask(STATUS), "{\"state\":\"connected\",\"node\":\"Автовыбор\"}\n");
  EXPECT_EQ(testsupport::run_count(xray), 2);

  EXPECT_EQ(service.ask(DISCONNECT), DISCONNECTED);
  EXPECT_EQ(service.ask(STATUS), DISCONNECTED);

  // Without a tunnel core the start fails, and the status keeps saying so.
  std::filesystem::remove(testsupport::fs_path(sing_box));
  const std::string failed = service.ask(tunnel);
  EXPECT_TRUE(
      failed.starts_with("{\"state\":\"error\",\"code\":\"core_start_failed\",\"message\":\""))
      << failed;
  EXPECT_EQ(service.ask(STATUS), failed);
  EXPECT_EQ(service.ask(DISCONNECT), DISCONNECTED);
  EXPECT_EQ(service.ask(STATUS), DISCONNECTED);
}

TEST(ControlChannel, ReportsConnectingUntilTheWatchdogBringsALostCoreBack) {
  Service service;
  const std::string& xray = service.install().xray;
  const std::string flag = service.install().file("end-first-core");
  testsupport::set_script(xray, 1, "waitfor " + flag + "\nexit 1");
  const std::string connected = "{\"state\":\"connected\",\"node\":\"one\",\"proxy_port\":10809}\n";
  ASSERT_EQ(service.ask(connect_line(list_of({trojan_node("one app_z", "192.0.2.1", 443)}),
                                     ",\"proxy_only\":true")),
            connected);
  { std::ofstream(testsupport::fs_path(flag)) << "now"; }

  std::string reply;
  ASSERT_TRUE(wait_until([&] { return (reply = service.ask(STATUS)) != connected; }, 30s));
  EXPECT_EQ(reply, "{\"state\":\"connecting\"}\n");
  EXPECT_TRUE(wait_until([&] { return service.ask(STATUS) == connected; }, 30s));
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(xray) == 2; }));
}

// Whoever may change the cores' folder would have their program run as the
// service: from then on neither the watchdog's restart nor a connect starts
// a core, and both say which folder, in the reply and the service's log.
// Judged at every start: once mended, the folder serves again.
TEST(ControlChannel, NoCoreStartsFromAFolderOthersMayChange) {
  Service service;
  const testsupport::InstallDir& install = service.install();
  const std::string flag = install.file("end-first-core");
  testsupport::set_script(install.xray, 1, "waitfor " + flag + "\nexit 1");
  const std::string connect =
      connect_line(list_of({trojan_node("one app_z", "192.0.2.1", 443)}), ",\"proxy_only\":true");
  const std::string connected = "{\"state\":\"connected\",\"node\":\"one\",\"proxy_port\":10809}\n";
  ASSERT_EQ(service.ask(connect), connected);

  testsupport::set_folder_rights(install.path(), testsupport::Rights::EveryoneChanges);
  { std::ofstream(testsupport::fs_path(flag)) << "now"; }
  const std::string refusal =
      "не удалось запустить " + install.xray +
      ": папка установки доступна на запись не только администраторам: " +
      platform::parent_path(platform::canonical_path(install.xray).value_or(install.xray));
  EXPECT_TRUE(service.said("ядра не перезапущены: " + escape_controls(refusal)))
      << service.stderr_text();
  const auto reply = nlohmann::json::parse(service.ask(connect));
  EXPECT_EQ(reply.value("code", ""), "core_start_failed");
  EXPECT_EQ(reply.value("message", ""), refusal);
  EXPECT_TRUE(wait_until([&] {
    return read_file(service.data_file("service-diag.log"))
               .value_or("")
               .find("ядра не запущены: " + escape_controls(refusal)) != std::string::npos;
  }));
  EXPECT_EQ(testsupport::run_count(install.xray), 1);

  testsupport::set_folder_rights(install.path(), testsupport::Rights::AdministratorsOnly);
  EXPECT_EQ(service.ask(connect), connected);
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(install.xray) == 2; }));
}

// Dozens of connects and disconnects leave the service as they found it:
// every start's reader threads, pipes and processes end with its cores. The
// service runs without a console here, as under the service control
// manager, where each core would otherwise get a console host of its own.
TEST(ControlChannel, ConnectsAndDisconnectsLeaveNoThreadOrHandleBehind) {
  Service service;
  const std::string connect = connect_line(
      list_of({trojan_node("one", "192.0.2.1", 443), trojan_node("two", "192.0.2.2", 443)}));
  const auto cycles = [&](int n) {
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(service.ask(connect).starts_with("{\"state\":\"connected\"")) << i;
      ASSERT_EQ(service.ask(DISCONNECT), DISCONNECTED) << i;
    }
  };
  const auto counts = [&] {
    const auto now = platform::process_counts(service.pid());
    EXPECT_TRUE(now) << now.error().to_string();
    return now.value_or(platform::ProcessCounts{});
  };
  // What the first connects make for good (lazily made system threads, the
  // log files) belongs to the resting count.
  ASSERT_NO_FATAL_FAILURE(cycles(4));
  std::this_thread::sleep_for(1s);
  const platform::ProcessCounts rest = counts();
  ASSERT_NO_FATAL_FAILURE(cycles(40));
  // Readers end shortly after their cores. A lost reader would show once
  // every few cycles, several threads and a dozen handles or more in all;
  // the system's own count moves by one or two between samples (Wine makes
  // and drops handles of its own).
  platform::ProcessCounts after;
  const bool back = wait_until(
      [&] {
        after = counts();
        return after.threads <= rest.threads + 1 && after.handles <= rest.handles + 3;
      },
      30s);
  EXPECT_TRUE(back) << "threads " << rest.threads << " -> " << after.threads << ", handles "
                    << rest.handles << " -> " << after.handles;
}

// Appended: g++ 12 at -O3 reports a false overlap for "literal" + std::string&&.
std::string numbered(std::string_view prefix, std::uint64_t n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

// A sanitizer keeps freed memory aside (AddressSanitizer's quarantine) or
// shadows it, so only a plain build says what the service holds.
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define OMBREL_MEASURES_MEMORY 1
// Resident memory of a process, in KiB.
std::uint64_t resident_kib(std::uint32_t pid) {
  const auto status = read_file(numbered("/proc/", pid) + "/status").value_or("");
  const auto at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6));
}
#endif

// Any interactive user can send nodes with huge remarks that all fail: the
// registry must stay small, and still remember an ordinary node after.
TEST(ControlChannel, AFloodOfFailingNodesLeavesTheRegistrySmall) {
  Service service;
  // Every node of every start fails three probes at once.
  std::string script;
  for (int n = 0; n < 12; ++n) {
    script += numbered("repeat 3 [Warning] app/observatory: error ping https://x/204 with p", n);
    script += ": i/o timeout\n";
  }
  testsupport::set_script(service.install().xray, script + "stay\n");
#ifdef OMBREL_MEASURES_MEMORY
  const std::uint64_t idle = resident_kib(service.pid());
#endif
  const std::string pad(20'000, 'x');
  for (int c = 0; c < 40; ++c) {
    std::vector<std::string> nodes;
    for (int n = 0; n < 12; ++n) {
      nodes.push_back(trojan_node(numbered(std::to_string(c) + "-", n) + pad,
                                  numbered("192.0.2.", n + 1), 443));
    }
    const std::string reply = service.ask(connect_line(list_of(nodes), ",\"proxy_only\":true"));
    ASSERT_TRUE(reply.starts_with("{\"state\":\"connected\"")) << reply.substr(0, 200);
  }
  EXPECT_EQ(service.ask(connect_line(list_of({trojan_node("Обычный узел", "192.0.2.1", 443)}),
                                     ",\"proxy_only\":true")),
            "{\"state\":\"connected\",\"node\":\"Обычный узел\",\"proxy_port\":10809}\n");
  const std::string channels = service.data_file("channels.json");
  // The failure reaches the file within about a second of the core's report.
  EXPECT_TRUE(wait_until([&] {
    return read_file(channels).value_or("").find("\"failed\":{\"Обычный узел\":") !=
           std::string::npos;
  }));
  EXPECT_LT(read_file(channels).value_or("").size(), 1u << 20);
#ifdef OMBREL_MEASURES_MEMORY
  EXPECT_LT(resident_kib(service.pid()), idle + 8 * 1024) << "idle: " << idle << " KiB";
#endif
}

TEST(ControlChannel, FramingFaultsAreAnsweredAsBadRequests) {
  Service service;
  const std::string bad = "{\"state\":\"error\",\"code\":\"bad_request\",\"message\":\"";
  const std::size_t limit = 256 * 1024;
  const std::string head = "{\"cmd\":\"status\",\"pad\":\"";
  const std::string tail = "\"}";
  const std::string at_limit =
      head + std::string(limit - 1 - head.size() - tail.size(), 'x') + tail;
  struct Case {
    const char* name;
    std::string sent;
    std::string reply;  // a prefix
  };
  const std::vector<Case> cases = {
      {"empty line", "\n", bad + "EOF while parsing a value at line 1 column "},
      {"blank line", " \t \r\n", bad + "EOF while parsing a value at line 1 column "},
      {"two objects", "{\"cmd\":\"status\"}{\"cmd\":\"status\"}\n", bad + "trailing characters"},
      {"not an object", "[1,2]\n", bad},
      {"unknown kind", "{\"cmd\":\"Status\"}\n", bad + "unknown variant `Status`"},
      {"line at the limit", at_limit + "\n", DISCONNECTED},
      {"over the limit: cut there", at_limit + std::string(30000, 'x') + "\n", bad},
      {"only the first line", STATUS + "{\"cmd\":\"disconnect\"}\n", DISCONNECTED},
      {"a line that is not UTF-8, then a good one, in one write", "\xff\n" + STATUS, DISCONNECTED},
      {"a long name comes back cut", "{\"cmd\":\"" + std::string(240 * 1024, 'n') + "\"}\n",
       bad + "unknown variant `" + std::string(128, 'n') + "…`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reply = service.ask(c.sent);
    EXPECT_TRUE(reply.starts_with(c.reply)) << reply.substr(0, 200);
    EXPECT_TRUE(reply.ends_with("\"}\n")) << reply.substr(0, 200);
    EXPECT_LE(reply.size(), 512u);
  }

  // A client that closed before its reply: nothing sent (a bad request), or
  // a connect without a line feed, the text up to the end of the stream. The
  // request is carried out, its lost reply said; the next client is served.
  std::string no_line_feed =
      connect_line(list_of({trojan_node("gone", "192.0.2.2", 443)}), ",\"proxy_only\":true");
  no_line_feed.pop_back();
  const std::pair<std::string, std::string> gone_clients[] = {
      {"", DISCONNECTED},
      {no_line_feed, "{\"state\":\"connected\",\"node\":\"gone\",\"proxy_port\":10809}\n"}};
  for (const auto& [sent, status] : gone_clients) {
    {
      auto client = platform::PipeClient::connect(service.pipe(), 30s);
      ASSERT_TRUE(client) << client.error().to_string();
      if (!sent.empty()) {
        ASSERT_TRUE(client->write_all(sent));
      }
    }
    EXPECT_EQ(service.ask(STATUS), status);
  }
  // Said once: the second, the same line for the same user within the
  // minute, is only counted.
  EXPECT_TRUE(service.said("ответ не ушёл: не удалось отправить ответ")) << service.stderr_text();
  // The stand-in counts its start once it runs, which may be after the reply.
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(service.install().xray) == 1; }));
  // So is a disconnect that a client on its way out sends without waiting
  // for the reply.
  const std::string up = "{\"state\":\"connected\",\"node\":\"one\",\"proxy_port\":10809}\n";
  ASSERT_EQ(service.ask(connect_line(list_of({trojan_node("one", "192.0.2.1", 443)}),
                                     ",\"proxy_only\":true")),
            up);
  {
    auto client = platform::PipeClient::connect(service.pipe(), 30s);
    ASSERT_TRUE(client) << client.error().to_string();
    ASSERT_TRUE(client->write_all(DISCONNECT));
  }
  EXPECT_TRUE(wait_until([&] { return service.ask(STATUS) == DISCONNECTED; }));

  // Bytes that are not UTF-8: no reply at all, a line on standard error. The
  // client, waiting for its reply, is then read further until it is dropped
  // for its silence, which bars its process for a while: it is not this one.
  // The next client is served once the stuck one is dropped.
  {
    ForeignClient client(service.pipe(), "not-utf8-line");
    ASSERT_TRUE(client.connected());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service.ask(STATUS), DISCONNECTED);
    const auto waited = std::chrono::steady_clock::now() - start;
    // The server's bound on a silent client is five seconds.
    EXPECT_GE(waited, 4s);
    EXPECT_LT(waited, 30s);
    EXPECT_EQ(client.received(), "");
  }
  EXPECT_TRUE(service.said(
      "соединение не обслужено: не удалось прочитать сообщение канала: запрос не в кодировке "
      "UTF-8"));
  EXPECT_TRUE(
      service.said("соединение не обслужено: не удалось прочитать сообщение канала: "
                   "клиент не присылал данных 5 с и отключён"));
  EXPECT_EQ(service.ask(DISCONNECT), DISCONNECTED);
  // A bad request answered at once bars nobody: this process sent several.
  EXPECT_EQ(service.stderr_text().find("соединение отклонено"), std::string::npos)
      << service.stderr_text();
}

}  // namespace
}  // namespace ombrel::control_e2e
