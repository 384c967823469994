// What a person waits for after pressing connect: the first page through
// the proxy, with a real proxy core (Debian's v2ray, reading the proxy
// core's document family) behind the running service. Beside it, the same
// core started by hand (the same program, the same document on its standard
// input) and the same page fetched the same way. Behind the core, on
// loopback only: a Trojan server (v2ray again, with a certificate made
// here) that hands every connection to a web server of our own, so that no
// name is looked up and nothing leaves the machine.
//
//   ombrel_bench_first_page BIN_DIR
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "bench_report.hpp"
#include "control/handling.hpp"
#include "loopback_posix.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/process/process.hpp"

namespace {

using namespace ombrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* V2RAY = "/usr/bin/v2ray";
constexpr const char* PASSWORD = "loopback-only";
constexpr int ROUNDS = 30;
// Not a private address, so the service's document sends it through the
// proxy; the Trojan server hands it to the web server.
constexpr std::uint8_t PAGE_ADDRESS[4] = {203, 0, 113, 7};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "ombrel_bench_first_page: %s\n", what.c_str());
  std::exit(1);
}

void write_text(const std::string& path, const std::string& text, fs::perms mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  fs::permissions(path, mode);
}

using Socket = testsupport::LoopbackSocket;

// Connected to 127.0.0.1:`port`, or listening on a free port when `port` is 0.
Socket loopback(std::uint16_t port) {
  Socket s = testsupport::loopback_socket(port, 10, 64);
  if (port == 0 && s.fd() < 0) die("listen");
  return s;
}

std::uint16_t port_of(const Socket& s) {
  return s.port();
}

// The page through the SOCKS port 10808; empty while the core cannot carry it.
std::string fetch_page() {
  const Socket s = loopback(10808);
  if (s.fd() < 0) return "";
  std::string hello = {5, 1, 0, 5, 1, 0, 1};
  hello.append(reinterpret_cast<const char*>(PAGE_ADDRESS), 4);
  hello += {0, 80};
  if (!s.send_all(hello) || s.receive(2) != std::string{5, 0}) return "";
  const std::string reply = s.receive(10);
  if (reply.size() < 10 || reply[1] != 0) return "";
  if (!s.send_all("GET /first HTTP/1.1\r\nHost: 203.0.113.7\r\nConnection: close\r\n\r\n"))
    return "";
  // Up to the page's last byte: the end of the stream, carried back through
  // both servers, would add their idle time, not the core's.
  std::string response;
  while (!response.ends_with("\r\n\r\npage")) {
    const std::string more = s.receive(1);
    if (more.empty()) return "";
    response += more;
  }
  return "page";
}

// From `start`, asks for the page until it comes; the seconds it took.
double first_page_after(std::chrono::steady_clock::time_point start) {
  while (fetch_page() != "page") {
    if (bench::seconds_since(start) > 30) die("no page through the proxy in 30 s");
    std::this_thread::sleep_for(1ms);
  }
  return bench::seconds_since(start);
}

void wait_until_free() {
  const auto start = std::chrono::steady_clock::now();
  while (loopback(10808).fd() >= 0) {
    if (bench::seconds_since(start) > 10) die("10808 stays taken");
    std::this_thread::sleep_for(5ms);
  }
}

// Answers every request with "page".
class WebServer {
 public:
  WebServer() : listener_(loopback(0)), thread_([this] { serve(); }) {}
  ~WebServer() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t port() const { return port_of(listener_); }

 private:
  void serve() {
    while (!stop_) {
      pollfd ready{listener_.fd(), POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const Socket client(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client.fd() < 0) continue;
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos) {
        const std::string more = client.receive(1);
        if (more.empty()) break;
        request += more;
      }
      client.send_all("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\npage");
    }
  }

  Socket listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

platform::Process start(const std::string& program, std::vector<std::string> args) {
  platform::SpawnOptions options;
  options.program = program;
  options.args = std::move(args);
  options.std_in = options.std_out = options.std_err = platform::Stdio::Null;
  auto process = platform::spawn(options);
  if (!process) die("cannot start " + program + ": " + process.error().to_string());
  return std::move(*process);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) die("usage: ombrel_bench_first_page BIN_DIR");
  ::signal(SIGPIPE, SIG_IGN);
  if (::access(V2RAY, X_OK) != 0) die(std::string(V2RAY) + " is missing (Debian's v2ray)");
  const std::string bin = argv[1];
  const std::string work =
      (fs::temp_directory_path() / ("ombrel-bench-page-" + std::to_string(::getpid()))).string();
  const std::string install = work + "/install", data = work + "/data";
  fs::create_directories(install);
  fs::create_directories(data);
  // Only we may change the installation folder: the service starts no core
  // from one that others may.
  fs::permissions(install, fs::perms(0755));

  const std::string cert = work + "/cert.pem", key = work + "/key.pem";
  const std::string openssl =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
      "-subj /CN=trojan.test -addext subjectAltName=DNS:trojan.test -keyout '" +
      key + "' -out '" + cert + "' >/dev/null 2>&1";
  if (std::system(openssl.c_str()) != 0) die("openssl");

  WebServer web;
  const std::uint16_t trojan_port = port_of(loopback(0));
  // Every connection that arrives goes to the web server, whatever it asked for.
  write_text(work + "/trojan.json",
             "{\"log\":{\"loglevel\":\"none\"},\"inbounds\":[{\"listen\":\"127.0.0.1\",\"port\":" +
                 std::to_string(trojan_port) +
                 ",\"protocol\":\"trojan\",\"settings\":{\"clients\":[{\"password\":\"" + PASSWORD +
                 "\"}]},\"streamSettings\":{\"network\":\"tcp\",\"security\":\"tls\","
                 "\"tlsSettings\":{\"certificates\":[{\"certificateFile\":\"" +
                 cert + "\",\"keyFile\":\"" + key +
                 "\"}]}}}],\"outbounds\":[{\"protocol\":\"freedom\",\"settings\":{\"redirect\":"
                 "\"127.0.0.1:" +
                 std::to_string(web.port()) + "\"}}]}",
             fs::perms(0644));
  platform::Process trojan = start(V2RAY, {"-config", work + "/trojan.json"});
  for (const auto begun = std::chrono::steady_clock::now(); loopback(trojan_port).fd() < 0;) {
    if (bench::seconds_since(begun) > 30) die("the Trojan server does not listen");
    std::this_thread::sleep_for(10ms);
  }

  // The proxy core of the installation: v2ray, trusting our certificate,
  // with the document on its standard input, as the service gives it.
  const std::string core = install + "/xray";
  write_text(core, "#!/bin/sh\nSSL_CERT_FILE='" + cert + "' exec " + V2RAY + " -config stdin:\n",
             fs::perms(0755));
  fs::copy_file(bin + "/ombrel-service", install + "/ombrel-service");
  const std::string pipe = data + "/service.sock";
  ::setenv("OMBREL_PIPE", pipe.c_str(), 1);
  ::setenv("OMBREL_DATA_DIR", data.c_str(), 1);
  platform::Process service = start(install + "/ombrel-service", {"run"});

  const std::string connect =
      "{\"cmd\":\"connect\",\"proxy_only\":true,\"nodes\":[{\"id\":\"t\",\"address\":"
      "\"127.0.0.1\",\"port\":" +
      std::to_string(trojan_port) +
      ",\"remark\":\"Loopback\",\"protocol\":{\"Trojan\":{\"password\":\"" + PASSWORD +
      "\",\"sni\":\"trojan.test\"}},\"raw\":\"\"}]}\n";
  // The very document the service builds for this connect.
  control::PrepareDeps deps;
  std::atomic<std::uint64_t> counter{0};
  deps.counter = &counter;
  const auto prepared = control::read_and_prepare(connect, deps);
  const auto* launch = std::get_if<control::StartConnection>(&prepared);
  if (launch == nullptr) die("the connect does not prepare");
  const std::string document = launch->launch.xray_config;

  const auto ask = [&](const std::string& line) {
    auto reply = platform::pipe_exchange(pipe, line, 10s);
    for (int i = 0; !reply && i < 100; ++i) {  // the service may not listen yet
      std::this_thread::sleep_for(50ms);
      reply = platform::pipe_exchange(pipe, line, 10s);
    }
    if (!reply) die("request failed: " + reply.error().to_string());
    return *reply;
  };

  std::vector<double> ours, by_hand, replied;
  for (int round = 0; round < ROUNDS; ++round) {
    const auto start_ours = std::chrono::steady_clock::now();
    const std::string reply = ask(connect);
    if (reply.rfind("{\"state\":\"connected\"", 0) != 0) die("connect: " + reply);
    replied.push_back(bench::seconds_since(start_ours));
    ours.push_back(first_page_after(start_ours));
    ask("{\"cmd\":\"disconnect\"}\n");
    wait_until_free();

    const auto start_hand = std::chrono::steady_clock::now();
    platform::SpawnOptions options{core,
                                   {"run", "-c", "stdin:"},
                                   std::nullopt,
                                   platform::Stdio::Pipe,
                                   platform::Stdio::Null,
                                   platform::Stdio::Null};
    auto hand = platform::spawn(options);
    if (!hand) die("cannot start the core by hand: " + hand.error().to_string());
    if (auto input = hand->take_stdin()) {
      if (!input->write_all(document)) die("cannot hand the core its document");
      input->close();
    }
    by_hand.push_back(first_page_after(start_hand));
    *hand = platform::Process();
    wait_until_free();
  }
  const double o = bench::quantile(ours, 0.5), h = bench::quantile(by_hand, 0.5);
  bench::ratio_row("connect → first page through the proxy (v2ray)", bench::millis(o), o,
                   bench::millis(h) + " (the core started by hand, same document)", h,
                   bench::Bound::AtMost, 1.1);
  bench::info_row("  of it, connect request to reply", bench::millis(bench::quantile(replied, 0.5)),
                  bench::quantile(replied, 0.5), bench::millis(o) + " (to the first page)", o);
  service = platform::Process();
  trojan = platform::Process();
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
