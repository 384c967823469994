// The real service with a real proxy core: Debian's v2ray reads the proxy
// core's document family, so a wrapper of the core's name hands it the
// document the service built. Behind it, on loopback only: a Trojan server
// (v2ray again, with a certificate made here) and a web server of the test's.
// The Trojan server leaves by 127.0.0.2, so the web server tells a page that
// came through it from one fetched directly (from 127.0.0.1).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "as_user.hpp"
#include "host_run.hpp"
#include "loopback_posix.hpp"
#include "running_service.hpp"

namespace ombrel::real_core_e2e {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Where Debian puts it.
constexpr const char* V2RAY = "/usr/bin/v2ray";
constexpr const char* PASSWORD = "loopback-only";

using Socket = testsupport::LoopbackSocket;

// Every read and write bounded, so that a core that never answers fails the
// test instead of hanging it. Port 0 makes a listener on a free port.
Socket loopback_socket(std::uint16_t port) {
  Socket s = testsupport::loopback_socket(port, 60);
  if (port == 0 && s.fd() < 0) ADD_FAILURE() << "cannot listen on loopback";
  return s;
}

bool accepts(std::uint16_t port) {
  return loopback_socket(port).fd() >= 0;
}

std::uint16_t port_of(const Socket& s) {
  return s.port();
}

// A page through the SOCKS port (the name resolved by whoever carries it) or
// the HTTP port; the body, or a note on where it failed.
std::string fetch(bool via_socks, const std::string& host, std::uint16_t port,
                  const std::string& path) {
  Socket s = loopback_socket(via_socks ? 10808 : 10809);
  const std::string authority = host + ":" + std::to_string(port);
  if (via_socks) {
    std::string connect = {5, 1, 0, 5, 1, 0, 3, static_cast<char>(host.size())};
    connect += host + char(port >> 8) + char(port & 0xff);
    if (!s.send_all(connect) || s.receive(2) != std::string{5, 0}) return "(no SOCKS greeting)";
    const std::string reply = s.receive(4);
    if (reply.size() < 4 || reply[1] != 0) return "(SOCKS connect refused)";
    s.receive(reply[3] == 4 ? 18 : 6);  // the bound address and port
  }
  const std::string target = via_socks ? path : "http://" + authority + path;
  if (!s.send_all("GET " + target + " HTTP/1.1\r\nHost: " + authority +
                  "\r\nConnection: close\r\n\r\n"))
    return "(not sent)";
  const std::string response = s.receive();
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

// Answers every GET with "page " and its path, and remembers who asked.
class WebServer {
 public:
  WebServer() : listener_(loopback_socket(0)), thread_([this](std::stop_token s) { serve(s); }) {}
  std::uint16_t port() const { return port_of(listener_); }
  // The peers that asked for `path`.
  std::vector<std::string> peers(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> peers;
    for (const auto& [peer, asked] : visits_) {
      if (asked == path) peers.push_back(peer);
    }
    return peers;
  }

 private:
  void serve(const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      pollfd ready{listener_.fd(), POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      sockaddr_in peer{};
      socklen_t size = sizeof peer;
      Socket client(::accept(listener_.fd(), reinterpret_cast<sockaddr*>(&peer), &size));
      if (client.fd() < 0) continue;
      const timeval bound{10, 0};
      ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
      std::string request;
      for (std::string more = "-"; !more.empty() && !request.ends_with("\r\n\r\n");)
        request += more = client.receive(1);
      const auto start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      char address[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
      {
        std::lock_guard lock(mutex_);
        visits_.emplace_back(address, path);
      }
      const std::string body = "page " + path;
      client.send_all("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
    }
  }

  Socket listener_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> visits_;  // peer, path
  std::jthread thread_;  // last: stopped before what it uses goes
};

// The Trojan server: v2ray with the test's certificate. It reaches the names
// of the test's pages (and the blocked one, so that a blocked page carried
// to it would arrive) and drops everything else, the proxy core's queries
// to its document's name servers included: nothing leaves loopback.
platform::Process start_trojan(const testsupport::TempDir& dir, std::uint16_t port,
                               const std::vector<std::string>& names) {
  json config = json::parse(R"({
    "log": {"loglevel": "warning"},
    "inbounds": [{"listen": "127.0.0.1", "protocol": "trojan",
                  "streamSettings": {"network": "tcp", "security": "tls"}}],
    "outbounds": [{"protocol": "freedom", "tag": "out", "sendThrough": "127.0.0.2",
                   "settings": {"domainStrategy": "UseIP"}},
                  {"protocol": "blackhole", "tag": "drop"}],
    "routing": {"rules": [{"type": "field", "domain": [], "outboundTag": "out"},
                          {"type": "field", "ip": ["127.0.0.0/8"], "outboundTag": "out"},
                          {"type": "field", "network": "tcp,udp", "outboundTag": "drop"}]}})");
  config["log"]["access"] = dir.file("trojan-access.log");
  for (const auto& name : names) {
    config["dns"]["hosts"][name] = "127.0.0.1";
    config["routing"]["rules"][0]["domain"].push_back("full:" + name);
  }
  json& inbound = config["inbounds"][0];
  inbound["port"] = port;
  inbound["settings"]["clients"] = {{{"password", PASSWORD}}};
  inbound["streamSettings"]["tlsSettings"]["certificates"] = {
      {{"certificateFile", dir.file("cert.pem")}, {"keyFile", dir.file("key.pem")}}};
  e2e::write_file(dir.file("trojan.json"), config.dump());
  platform::SpawnOptions options;
  options.program = V2RAY;
  options.args = {"-config", dir.file("trojan.json")};
  options.std_in = options.std_out = options.std_err = platform::Stdio::Null;
  auto process = platform::spawn(options);
  if (!process) ADD_FAILURE() << "cannot start v2ray: " << process.error().to_string();
  return process ? std::move(*process) : platform::Process();
}

// A line of /proc/PID/status with its label, tabs as blanks.
std::string status_line(std::uint32_t pid, const std::string& label) {
  const std::string text = e2e::read_file("/proc/" + std::to_string(pid) + "/status").value_or("");
  const auto at = text.find("\n" + label);
  if (at == std::string::npos) return "";
  std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
  std::replace(line.begin(), line.end(), '\t', ' ');
  return line;
}

TEST(RealCore, PagesTakeTheWaysTheServicesDocumentGivesThem) {
  if (::access(V2RAY, X_OK) != 0) {
    GTEST_SKIP() << V2RAY << " is missing (Debian package v2ray, installed by scripts/deps.sh): "
                 << "no real proxy core to run";
  }
  testsupport::TempDir dir("real-core");
  // A name under .test never resolves (it is reserved for testing): only the
  // Trojan server knows where it lives.
  const std::string page = "page.ombrel.test";
  const std::string blocked = "ombrel-test.doubleclick.net";
  const host_e2e::Ran cert = host_e2e::run_program(
      "/usr/bin/openssl",
      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days",
       "2", "-subj", "/CN=trojan.test", "-addext", "subjectAltName=DNS:trojan.test", "-keyout",
       dir.file("key.pem"), "-out", dir.file("cert.pem")});
  ASSERT_EQ(cert.code, 0) << cert.err;

  WebServer web;
  const std::uint16_t trojan_port = port_of(loopback_socket(0));
  const platform::Process trojan = start_trojan(dir, trojan_port, {page, blocked});
  ASSERT_TRUE(testsupport::wait_until([&] { return accepts(trojan_port); }, 30s))
      << "the Trojan server does not listen";

  ASSERT_FALSE(accepts(10808) || accepts(10809)) << "another program holds 10808 or 10809";
  e2e::ServiceSetup setup("real-core");
  // The node's document names no certificate of its own: the core trusts
  // the test's through the system's store, which Go reads from SSL_CERT_FILE.
  // The core runs in the account the service picks for it, which may write
  // only in the records folder.
  setup.prepare = [&](const testsupport::InstallDir& install, const std::string&) {
    e2e::write_file(install.xray,
                    "#!/bin/sh\n[ \"$*\" = \"run -c stdin:\" ] || exit 2\necho $$ > '" +
                        testsupport::record_path(install.xray, ".pid") + "'\nSSL_CERT_FILE='" +
                        dir.file("cert.pem") + "' exec " + V2RAY + " -config stdin:\n");
    testsupport::name_no_core_account();
  };
  e2e::RunningService service(setup);
  testsupport::set_core_account();
  const std::string node =
      "{\"id\":\"t\",\"address\":\"127.0.0.1\",\"port\":" + std::to_string(trojan_port) +
      ",\"remark\":\"Loopback\",\"protocol\":{\"Trojan\":{\"password\":\"" + PASSWORD +
      "\",\"sni\":\"trojan.test\"}},\"raw\":\"\"}";
  ASSERT_EQ(service.ask("{\"cmd\":\"connect\",\"proxy_only\":true,\"nodes\":[" + node + "]}\n"),
            "{\"state\":\"connected\",\"node\":\"Loopback\",\"proxy_port\":10809}\n");
  ASSERT_TRUE(testsupport::wait_until([] { return accepts(10808) && accepts(10809); }, 30s))
      << "the proxy core does not listen on 10808 and 10809";

  // Through the Trojan server (peer 127.0.0.2), directly (127.0.0.1), or
  // blocked (no visit at all).
  struct Fetch {
    const char* name;
    bool via_socks;
    std::string host;
    std::string path;
    const char* peer;  // nullptr: blocked
  };
  const std::vector<Fetch> fetches = {
      {"SOCKS, through the server", true, page, "/socks", "127.0.0.2"},
      {"HTTP, through the server", false, page, "/http", "127.0.0.2"},
      {"SOCKS, a private address goes direct", true, "127.0.0.1", "/direct", "127.0.0.1"},
      {"SOCKS, blocked", true, blocked, "/blocked-socks", nullptr},
      {"HTTP, blocked", false, blocked, "/blocked-http", nullptr},
  };
  // At once: a name the document resolves waits for its name servers
  // (through the tunnel, dropped there) before it is routed.
  std::vector<std::future<std::string>> bodies;
  for (const auto& f : fetches) {
    bodies.push_back(std::async(std::launch::async, [&f, port = web.port()] {
      return fetch(f.via_socks, f.host, port, f.path);
    }));
  }
  for (std::size_t i = 0; i < fetches.size(); ++i) {
    const Fetch& f = fetches[i];
    SCOPED_TRACE(f.name);
    EXPECT_EQ(bodies[i].get(), f.peer ? "page " + f.path : "");
    EXPECT_EQ(web.peers(f.path),
              f.peer ? std::vector<std::string>{f.peer} : std::vector<std::string>{});
  }
  EXPECT_EQ(e2e::read_file(dir.file("trojan-access.log")).value_or("").find(blocked),
            std::string::npos);

  const std::uint32_t core =
      std::stoul(testsupport::read_record(service.install().xray, ".pid").value_or("0"));
  EXPECT_TRUE(testsupport::running_from(core, V2RAY));
  if (::geteuid() == 0) {
    const std::string id =
        e2e::read_file(platform::join_path(platform::data_dir(), platform::CORE_ID_FILE))
            .value_or("?\n");
    const std::string u = id.substr(0, id.size() - 1);
    EXPECT_EQ(status_line(core, "Uid:"), "Uid: " + u + " " + u + " " + u + " " + u);
  }
  EXPECT_EQ(service.ask("{\"cmd\":\"disconnect\"}\n"), e2e::DISCONNECTED);
  EXPECT_FALSE(testsupport::running_from(core, V2RAY));
  EXPECT_FALSE(accepts(10808));
}

// A listener of the test's own (another process to the service) on a port
// the proxy core is given.
Socket listener_on(std::uint16_t port) {
  Socket s(::socket(AF_INET, SOCK_STREAM, 0));
  const int on = 1;
  ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s.fd(), 1) != 0) {
    ADD_FAILURE() << "cannot listen on 127.0.0.1:" << port;
  }
  return s;
}

// Whoever listens on a port the cores are given first would receive the
// user's traffic: a connect then fails before it says "connected", and a
// restart after the proxy core lost its port says who holds it.
TEST(TakenPorts, AnotherListenerFailsTheConnectAndTheRestart) {
  ASSERT_FALSE(accepts(10808) || accepts(10809)) << "another program holds 10808 or 10809";
  e2e::ServiceSetup setup("taken-ports");
  setup.prepare = [](const testsupport::InstallDir& install, const std::string&) {
    // The first core to run waits for the test's word, then ends as a core
    // whose port was taken does.
    testsupport::set_script(install.xray, 1, "waitfor " + install.xray + ".go\nexit 1");
  };
  e2e::RunningService service(setup);
  const std::string taken =
      "порт 127.0.0.1:10809 занят другим процессом (" + std::to_string(::getpid()) + ")";
  const std::string refused =
      "{\"state\":\"error\",\"code\":\"core_start_failed\",\"message\":\"" + taken + "\"}\n";
  const std::string connect =
      "{\"cmd\":\"connect\",\"proxy_only\":true,\"nodes\":[{\"id\":\"t\",\"address\":"
      "\"192.0.2.1\",\"port\":443,\"remark\":\"DE\",\"protocol\":{\"Trojan\":{\"password\":"
      "\"p\",\"sni\":\"\"}},\"raw\":\"\"}]}\n";
  {
    const Socket held = listener_on(10809);
    EXPECT_EQ(service.ask(connect), refused);
    EXPECT_EQ(service.ask(e2e::STATUS), refused);
    EXPECT_EQ(testsupport::run_count(service.install().xray), 0);
  }
  EXPECT_EQ(service.ask(connect),
            "{\"state\":\"connected\",\"node\":\"DE\",\"proxy_port\":10809}\n");
  const Socket held = listener_on(10809);
  e2e::write_file(service.install().xray + ".go", "");
  EXPECT_TRUE(service.said("ядра не перезапущены: " + taken)) << service.stderr_text();
  EXPECT_EQ(testsupport::run_count(service.install().xray), 1);
  EXPECT_EQ(service.ask("{\"cmd\":\"disconnect\"}\n"), e2e::DISCONNECTED);
}

// The proxy core, which parses what the servers send, runs without the
// service's rights: in an account of its own (none named: an id the service
// picks and records in its data folder), with no supplementary groups and
// none of the service's variables. No other account's process can signal
// it or read its environment, and what it leaves running in a session of
// its own ends with the disconnect. The tunnel core, which makes the
// network adapter, keeps the service's rights.
TEST(CoreAccount, OnlyTheProxyCoreGivesUpTheServicesRights) {
  if (::geteuid() != 0) GTEST_SKIP() << "only a service that runs as root has rights to give up";
  ASSERT_FALSE(accepts(10820)) << "another program holds 10820";
  e2e::ServiceSetup setup("core-account");
  setup.prepare = [](const testsupport::InstallDir& install, const std::string&) {
    testsupport::set_script(install.xray, 1, "ids\nenv\ndetach\nstay");
    testsupport::set_script(install.sing_box, "ids\nstay");
    testsupport::name_no_core_account();
  };
  ::setenv("OMBREL_TEST_MARKER", "the service's alone", 1);
  e2e::RunningService service(setup);
  ::unsetenv("OMBREL_TEST_MARKER");
  testsupport::set_core_account();
  EXPECT_EQ(service.ask("{\"cmd\":\"connect\",\"nodes\":[{\"id\":\"t\",\"address\":"
                        "\"192.0.2.1\",\"port\":443,\"remark\":\"DE\",\"protocol\":{\"Trojan\":"
                        "{\"password\":\"p\",\"sni\":\"\"}},\"raw\":\"\"}]}\n"),
            "{\"state\":\"connected\",\"node\":\"DE\"}\n");
  const auto log = [](const char* name) {
    return e2e::read_file(platform::join_path(platform::data_dir(), name)).value_or("");
  };
  std::string id = log(platform::CORE_ID_FILE.data());
  ASSERT_TRUE(id.ends_with("\n")) << id;
  id.pop_back();
  const std::string ids = "Uid: " + id + " " + id + " " + id + " " + id + "\nGid: " + id + " " +
                          id + " " + id + " " + id + "\nGroups:\n";
  EXPECT_TRUE(testsupport::wait_until([&] {
    return log("core-diag.log").find("\ndetached ") != std::string::npos;
  })) << log("core-diag.log");
  const std::string said = log("core-diag.log");
  EXPECT_NE(said.find(ids), std::string::npos) << said;
  EXPECT_NE(said.find("env PATH\n"), std::string::npos) << said;
  EXPECT_EQ(said.find("OMBREL_"), std::string::npos) << said;
  const auto left =
      static_cast<std::uint32_t>(std::stoul("0" + said.substr(said.find("\ndetached ") + 10)));
  EXPECT_TRUE(testsupport::wait_until(
      [&] { return testsupport::running_from(left, service.install().xray); }));
  const auto core = static_cast<pid_t>(
      std::stoul("0" + testsupport::read_record(service.install().xray, ".runs").value_or("")));
  const testsupport::Reach nobody = testsupport::reach_as_user(65534, core);
  EXPECT_FALSE(nobody.signal);
  EXPECT_FALSE(nobody.environment);
  EXPECT_TRUE(testsupport::wait_until([&] {
    return log("tunnel-diag.log").find("Uid: 0 0 0 0\n") != std::string::npos;
  })) << log("tunnel-diag.log");
  EXPECT_EQ(service.ask("{\"cmd\":\"disconnect\"}\n"), e2e::DISCONNECTED);
  EXPECT_TRUE(testsupport::wait_until(
      [&] { return !testsupport::running_from(left, service.install().xray); }));
}

// v2ray 4.34 has no gRPC, XHTTP or Hysteria2 transport: a document with an
// outbound on any of them is not v2ray's to judge, nor are the tunnel
// core's documents. Every other golden document must pass its check.
TEST(RealCore, GoldenDocumentsPassV2raysCheckWhereItKnowsTheirTransports) {
  if (::access(V2RAY, X_OK) != 0) GTEST_SKIP() << V2RAY << " is missing: no real proxy core to ask";
  int judged = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(testsupport::source_dir() + "/tests/golden")) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("xray-")) continue;
    SCOPED_TRACE(name);
    const std::string text = e2e::read_file(entry.path().string()).value_or("");
    std::string cannot;
    const json document = json::parse(text);
    for (const auto& outbound : document.at("outbounds")) {
      const std::string network =
          outbound.value("streamSettings", json::object()).value("network", "");
      if (network == "grpc" || network == "xhttp" || network == "hysteria") cannot = network;
    }
    if (!cannot.empty()) {
      std::cout << "[ NOT JUDGED ] " << name << ": v2ray does not know " << cannot << "\n";
      continue;
    }
    const host_e2e::Ran ran = host_e2e::run_program(V2RAY, {"-test", "-config", "stdin:"}, text);
    EXPECT_EQ(ran.code, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("Configuration OK."), std::string::npos) << ran.out << ran.err;
    ++judged;
  }
  EXPECT_GE(judged, 1);
}

}  // namespace
}  // namespace ombrel::real_core_e2e
