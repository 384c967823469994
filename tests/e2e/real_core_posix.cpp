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
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_run.hpp"
#include "running_service.hpp"

namespace ombrel::real_core_e2e {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Where Debian puts them.
constexpr const char* V2RAY = "/usr/bin/v2ray";
constexpr const char* OPENSSL = "/usr/bin/openssl";

bool have_v2ray() {
  return ::access(V2RAY, X_OK) == 0;
}

class Socket {
 public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  bool send_all(std::string_view bytes) const {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // Up to `count` bytes, fewer only at the end of the stream or on a failure.
  std::string receive(std::size_t count = SIZE_MAX) const {
    std::string got;
    char buf[4096];
    while (got.size() < count) {
      const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - got.size()), 0);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_;
};

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// Every read and write bounded, so that a core that never answers fails the
// test instead of hanging it.
Socket connect_to(std::uint16_t port) {
  Socket s(::socket(AF_INET, SOCK_STREAM, 0));
  const timeval bound{60, 0};
  ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  const sockaddr_in addr = loopback(port);
  if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    return Socket();
  return s;
}

bool accepts(std::uint16_t port) {
  return connect_to(port).fd() >= 0;
}

Socket listen_on_loopback() {
  Socket s(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in addr = loopback(0);
  if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s.fd(), 16) != 0) {
    ADD_FAILURE() << "cannot listen on loopback";
  }
  return s;
}

std::uint16_t port_of(const Socket& s) {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&addr), &size);
  return ntohs(addr.sin_port);
}

std::string body_of(const std::string& response) {
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

std::string get_request(const std::string& target, const std::string& host) {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
}

// A page through the SOCKS port, the name resolved by whoever carries it.
std::string fetch_via_socks(const std::string& host, std::uint16_t port, const std::string& path) {
  Socket s = connect_to(10808);
  std::string connect = {5, 1, 0, 5, 1, 0, 3, static_cast<char>(host.size())};
  connect += host;
  connect += {static_cast<char>(port >> 8), static_cast<char>(port & 0xff)};
  if (!s.send_all(connect) || s.receive(2) != std::string{5, 0}) return "(no SOCKS greeting)";
  const std::string reply = s.receive(4);
  if (reply.size() < 4 || reply[1] != 0) return "(SOCKS connect refused)";
  s.receive(reply[3] == 4 ? 18 : 6);  // the bound address and port
  const std::string authority = host + ":" + std::to_string(port);
  if (!s.send_all(get_request(path, authority))) return "(not sent)";
  return body_of(s.receive());
}

std::string fetch_via_http(const std::string& host, std::uint16_t port, const std::string& path) {
  Socket s = connect_to(10809);
  const std::string authority = host + ":" + std::to_string(port);
  if (!s.send_all(get_request("http://" + authority + path, authority))) return "(not sent)";
  return body_of(s.receive());
}

// Answers every GET with "page " and its path, and remembers who asked.
class WebServer {
 public:
  struct Visit {
    std::string peer;
    std::string path;
  };

  WebServer() : listener_(listen_on_loopback()), thread_([this] { serve(); }) {}
  ~WebServer() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t port() const { return port_of(listener_); }
  std::vector<Visit> visits() {
    std::lock_guard lock(mutex_);
    return visits_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd ready{listener_.fd(), POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      sockaddr_in peer{};
      socklen_t size = sizeof peer;
      Socket client(::accept(listener_.fd(), reinterpret_cast<sockaddr*>(&peer), &size));
      if (client.fd() < 0) continue;
      const timeval bound{10, 0};
      ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos) {
        const std::string more = client.receive(1);
        if (more.empty()) break;
        request += more;
      }
      const auto path_start = request.find(' ') + 1;
      const std::string path =
          request.substr(path_start, request.find(' ', path_start) - path_start);
      char address[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
      {
        std::lock_guard lock(mutex_);
        visits_.push_back({address, path});
      }
      const std::string body = "page " + path;
      client.send_all("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
    }
  }

  Socket listener_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Visit> visits_;
  std::thread thread_;
};

// The Trojan server: v2ray with the test's certificate. It reaches the names
// of the test's pages (and the blocked one, so that a blocked page carried
// to it would arrive) and drops everything else, the proxy core's queries
// to its document's name servers included: nothing leaves loopback.
class TrojanServer {
 public:
  TrojanServer(const testsupport::TempDir& dir, std::uint16_t port,
               const std::vector<std::string>& names) {
    json hosts = json::object();
    json domains = json::array();
    for (const auto& name : names) {
      hosts[name] = "127.0.0.1";
      domains.push_back("full:" + name);
    }
    const json tls = {
        {"certificates",
         {{{"certificateFile", dir.file("cert.pem")}, {"keyFile", dir.file("key.pem")}}}}};
    const json config = {
        {"log", {{"loglevel", "warning"}, {"access", dir.file("trojan-access.log")}}},
        {"dns", {{"hosts", hosts}}},
        {"inbounds",
         {{{"listen", "127.0.0.1"},
           {"port", port},
           {"protocol", "trojan"},
           {"settings", {{"clients", {{{"password", PASSWORD}}}}}},
           {"streamSettings", {{"network", "tcp"}, {"security", "tls"}, {"tlsSettings", tls}}}}}},
        {"outbounds",
         {{{"protocol", "freedom"},
           {"tag", "out"},
           {"sendThrough", "127.0.0.2"},
           {"settings", {{"domainStrategy", "UseIP"}}}},
          {{"protocol", "blackhole"}, {"tag", "drop"}}}},
        {"routing",
         {{"rules",
           {{{"type", "field"}, {"domain", domains}, {"outboundTag", "out"}},
            {{"type", "field"}, {"ip", {"127.0.0.0/8"}}, {"outboundTag", "out"}},
            {{"type", "field"}, {"network", "tcp,udp"}, {"outboundTag", "drop"}}}}}}};
    platform::SpawnOptions options;
    options.program = V2RAY;
    options.args = {"-config", "stdin:"};
    options.std_in = platform::Stdio::Pipe;
    options.std_out = platform::Stdio::Null;
    options.std_err = platform::Stdio::Null;
    auto process = platform::spawn(options);
    if (!process) {
      ADD_FAILURE() << "cannot start v2ray: " << process.error().to_string();
      return;
    }
    process_ = std::move(*process);
    auto in = process_.take_stdin();
    EXPECT_TRUE(in && in->write_all(config.dump()));
  }
  static constexpr const char* PASSWORD = "loopback-only";

 private:
  platform::Process process_;
};

std::uint16_t free_port() {
  return port_of(listen_on_loopback());
}

// A page the service's document must carry through the Trojan server
// (peer 127.0.0.2), send directly (127.0.0.1), or block (no visit at all).
struct Fetch {
  const char* name;
  bool via_socks;
  std::string host;
  std::string path;
  const char* peer;  // nullptr: blocked
};

TEST(RealCore, PagesTakeTheWaysTheServicesDocumentGivesThem) {
  if (!have_v2ray()) {
    GTEST_SKIP() << V2RAY << " is missing (Debian package v2ray, installed by scripts/deps.sh): "
                 << "no real proxy core to run";
  }
  testsupport::TempDir dir("real-core");
  // A name under .test never resolves (it is reserved for testing): only the
  // Trojan server knows where it lives.
  const std::string page = "page.ombrel.test";
  const std::string blocked = "ombrel-test.doubleclick.net";
  const host_e2e::Ran cert = host_e2e::run_program(
      OPENSSL,
      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days",
       "2", "-subj", "/CN=trojan.test", "-addext", "subjectAltName=DNS:trojan.test", "-keyout",
       dir.file("key.pem"), "-out", dir.file("cert.pem")});
  ASSERT_EQ(cert.code, 0) << cert.err;

  WebServer web;
  const std::uint16_t trojan_port = free_port();
  TrojanServer trojan(dir, trojan_port, {page, blocked});
  ASSERT_TRUE(testsupport::wait_until([&] { return accepts(trojan_port); }, 30s))
      << "the Trojan server does not listen";

  ASSERT_FALSE(accepts(10808) || accepts(10809)) << "another program holds 10808 or 10809";
  e2e::ServiceSetup setup("real-core");
  // The node's document names no certificate of its own: the core trusts
  // the test's through the system's store, which Go reads from SSL_CERT_FILE.
  setup.prepare = [&](const testsupport::InstallDir& install, const std::string&) {
    e2e::write_file(install.xray,
                    "#!/bin/sh\n[ \"$*\" = \"run -c stdin:\" ] || exit 2\necho $$ > \"$0.pid\"\n"
                    "SSL_CERT_FILE='" +
                        dir.file("cert.pem") + "' exec " + V2RAY + " -config stdin:\n");
  };
  e2e::RunningService service(setup);
  const std::string node =
      "{\"id\":\"t\",\"address\":\"127.0.0.1\",\"port\":" + std::to_string(trojan_port) +
      ",\"remark\":\"Loopback\",\"protocol\":{\"Trojan\":{\"password\":\"" +
      TrojanServer::PASSWORD + "\",\"sni\":\"trojan.test\"}},\"raw\":\"\"}";
  ASSERT_EQ(service.ask("{\"cmd\":\"connect\",\"proxy_only\":true,\"nodes\":[" + node + "]}\n"),
            "{\"state\":\"connected\",\"node\":\"Loopback\",\"proxy_port\":10809}\n");
  ASSERT_TRUE(testsupport::wait_until([] { return accepts(10808) && accepts(10809); }, 30s))
      << "the proxy core does not listen on 10808 and 10809";

  const std::uint16_t port = web.port();
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
    bodies.push_back(std::async(std::launch::async, [&f, port] {
      return f.via_socks ? fetch_via_socks(f.host, port, f.path)
                         : fetch_via_http(f.host, port, f.path);
    }));
  }
  for (std::size_t i = 0; i < fetches.size(); ++i) {
    const Fetch& f = fetches[i];
    SCOPED_TRACE(f.name);
    const std::string body = bodies[i].get();
    std::vector<std::string> peers;
    for (const auto& visit : web.visits()) {
      if (visit.path == f.path) peers.push_back(visit.peer);
    }
    if (f.peer) {
      EXPECT_EQ(body, "page " + f.path);
      EXPECT_EQ(peers, std::vector<std::string>{f.peer});
    } else {
      EXPECT_EQ(body, "");
      EXPECT_EQ(peers, std::vector<std::string>{});
    }
  }
  EXPECT_EQ(e2e::read_file(dir.file("trojan-access.log")).value_or("").find(blocked),
            std::string::npos);

  const std::uint32_t core =
      std::stoul(e2e::read_file(service.install().xray + ".pid").value_or("0"));
  EXPECT_TRUE(testsupport::running_from(core, V2RAY));
  EXPECT_EQ(service.ask("{\"cmd\":\"disconnect\"}\n"), e2e::DISCONNECTED);
  EXPECT_FALSE(testsupport::running_from(core, V2RAY));
  EXPECT_FALSE(accepts(10808));
}

// v2ray 4.34 has no gRPC, XHTTP or Hysteria2 transport: a document with an
// outbound on any of them is not v2ray's to judge, nor are the tunnel
// core's documents. Every other golden document must pass its check.
TEST(RealCore, GoldenDocumentsPassV2raysCheckWhereItKnowsTheirTransports) {
  if (!have_v2ray()) GTEST_SKIP() << V2RAY << " is missing: no real proxy core to ask";
  const std::vector<std::string> unknown = {"grpc", "xhttp", "hysteria"};
  int judged = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(OMBREL_SOURCE_DIR) + "/tests/golden")) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("xray-")) continue;
    SCOPED_TRACE(name);
    const std::string text = e2e::read_file(entry.path().string()).value_or("");
    const json document = json::parse(text);
    std::string cannot;
    for (const auto& outbound : document.at("outbounds")) {
      const json stream = outbound.value("streamSettings", json::object());
      const std::string network = stream.value("network", "");
      if (std::find(unknown.begin(), unknown.end(), network) != unknown.end()) cannot = network;
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
