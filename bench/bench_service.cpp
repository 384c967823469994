// The running service on Linux, with stand-in cores in a temporary
// installation folder:
//   connect to connected  a `connect` in tunnel mode, request to reply, with
//                         cores that are up at once, against spawning the
//                         same two stand-ins bare (the proxy core given the
//                         same document on its standard input) plus one
//                         bare exchange on a Unix socket (one line in, one
//                         out), the least a request over the channel adds;
//   idle cost             resident memory without and with a connection;
//                         processor time and file writes over 60 idle
//                         seconds while connected.
//
// Beside the connect figure, the same two bare spawns behind a minimal server
// (one line in, the spawns, one line out) show what any server that starts
// the cores before it answers pays on this machine: the answer wakes a client
// that must wait for a processor while the cores just started take them.
//
//   ombrel_bench_service BIN_DIR [IDLE_SECONDS]
//   ombrel_bench_service spawn-server SOCKET INSTALL DOCUMENT TUNNEL_JSON
//                                        (the minimal server, started by it)
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_report.hpp"
#include "control/protocol.hpp"
#include "line_server_posix.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/channel/ports.hpp"
#include "platform/files/files.hpp"
#include "platform/process/process.hpp"
#include "platform/trust/install_folder.hpp"

extern char** environ;

namespace {

using namespace ombrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int CONNECTS = 40;
constexpr double MIB = 1024.0 * 1024.0;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "ombrel_bench_service: %s\n", what.c_str());
  std::exit(1);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// What the stand-in proxy core prints once up: one routed connection, so
// that the watcher sets the channel in use and the watchdog marks it seen.
constexpr const char* XRAY_SCRIPT =
    "print 2024/05/01 12:00:00.000000 from 127.0.0.1:40000 accepted tcp:www.example.com:443 "
    "[socks-in -> p0]\nstay\n";

std::string connect_line() {
  control::Connect c;
  for (int i = 0; i < 4; ++i) {
    ServerNode node;
    node.id = "n" + std::to_string(i);
    node.address = "203.0.113." + std::to_string(10 + i);
    node.port = 443;
    node.remark = "Узел " + std::to_string(i) + " app_premium";
    node.protocol = i % 2 ? Protocol{Trojan{"secret", "t.example.net"}}
                          : Protocol{Hysteria2{"secret", "h.example.org", false, ""}};
    c.nodes.push_back(std::move(node));
  }
  c.bypass_apps = {"C:\\Games\\game.exe"};
  c.sites = {"https://bank.example/login"};
  return control::write_request(c);
}

std::string request(const std::string& pipe, const std::string& line) {
  auto reply = platform::pipe_exchange(pipe, line, 10s);
  if (!reply) die("request failed: " + reply.error().to_string());
  return *reply;
}

// A field of /proc/PID/status in kB.
double status_kib(int pid, const std::string& field) {
  std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1));
  }
  return 0;
}

// Processor time of every thread of the process, in seconds, at nanosecond
// resolution (the scheduler's own account).
double cpu_seconds(int pid) {
  double total = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::istringstream in(read_text(task.path().string() + "/schedstat"));
    double ns = 0;
    in >> ns;
    total += ns * 1e-9;
  }
  return total;
}

int thread_count(int pid) {
  return static_cast<int>(status_kib(pid, "Threads"));
}

// The stand-ins started bare: the proxy core with its document on standard
// input and its output on a pipe, the tunnel core on its document file with
// both outputs on pipes, as the launcher starts them.
struct BareCores {
  pid_t xray = -1;
  pid_t singbox = -1;
  std::vector<int> fds;
};

pid_t spawn_with(const std::string& program, const std::vector<std::string>& args,
                 const int (&child_fds)[3]) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, child_fds[i], i);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    die("posix_spawn " + program);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

BareCores spawn_bare(const std::string& install, const std::string& document,
                     const std::string& tunnel_json) {
  BareCores c;
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  int in[2], out[2], out2[2], err2[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(out2, O_CLOEXEC) ||
      ::pipe2(err2, O_CLOEXEC)) {
    die("pipe2");
  }
  c.xray = spawn_with(install + "/xray", {"run", "-c", "stdin:"}, {in[0], out[1], null});
  ::close(in[0]);
  ::close(out[1]);
  for (std::string_view rest = document; !rest.empty();) {
    const ssize_t n = ::write(in[1], rest.data(), rest.size());
    if (n <= 0) die("write to the proxy core");
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(in[1]);
  c.singbox = spawn_with(install + "/sing-box", {"run", "-c", tunnel_json, "--disable-color"},
                         {null, out2[1], err2[1]});
  ::close(out2[1]);
  ::close(err2[1]);
  ::close(null);
  c.fds = {out[0], out2[0], err2[0]};
  return c;
}

void end_bare(BareCores& c) {
  for (const pid_t pid : {c.singbox, c.xray}) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  for (const int fd : c.fds) ::close(fd);
}

// The minimal server: for each connection one line in; "echo" is sent back
// as it came, "end" ends the cores it started, any other line ends them and
// starts them anew; one line out.
[[noreturn]] void spawn_server(const std::string& path, const std::string& install,
                               const std::string& document_file, const std::string& tunnel_json) {
  const std::string document = read_text(document_file);
  std::optional<BareCores> cores;
  bench::serve_lines(path, [&](const std::string& line) {
    if (line.rfind("echo", 0) == 0) return line;
    if (cores) end_bare(*cores);
    cores.reset();
    if (line.rfind("end", 0) == 0) return std::string("{\"state\":\"disconnected\"}\n");
    cores = spawn_bare(install, document, tunnel_json);
    return std::string("{\"state\":\"connected\"}\n");
  });
  die("spawn-server socket");
}

// Waits for both stand-ins to be up: each writes its records at start (the
// proxy core once it has read its whole document), every one moved into
// place whole, the tunnel core's descriptor list last.
class UpWatch {
 public:
  explicit UpWatch(const std::string& install) {
    fd_ = ::inotify_init1(IN_CLOEXEC);
    if (fd_ < 0 || ::inotify_add_watch(fd_, install.c_str(), IN_MOVED_TO) < 0) die("inotify");
  }
  ~UpWatch() { ::close(fd_); }
  void wait() {
    bool xray = false, singbox = false;
    alignas(inotify_event) char buf[16 * 1024];
    while (!(xray && singbox)) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10'000) <= 0) die("the stand-in cores did not come up");
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        const std::string name = e->len ? e->name : "";
        xray = xray || name == "xray.stdin";
        singbox = singbox || name == "sing-box.fds";
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  }

 private:
  int fd_ = -1;
};

// File writes seen in `dir` while alive: files closed after writing and
// files moved into place, by name.
class WriteWatch {
 public:
  explicit WriteWatch(const std::string& dir) {
    fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0 || ::inotify_add_watch(fd_, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
      die("inotify");
    }
  }
  ~WriteWatch() { ::close(fd_); }
  // Events so far: (registry writes, other writes).
  std::pair<int, int> count() {
    alignas(inotify_event) char buf[64 * 1024];
    while (true) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        const std::string name = e->len ? e->name : "";
        // A save writes channels.json.tmp, then moves it over channels.json.
        if (name == "channels.json" && (e->mask & IN_MOVED_TO)) {
          ++registry_;
        } else if (name != "channels.json.tmp") {
          ++other_;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
    return {registry_, other_};
  }

 private:
  int fd_ = -1;
  int registry_ = 0;
  int other_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string_view(argv[1]) == "spawn-server") {
    spawn_server(argv[2], argv[3], argv[4], argv[5]);
  }
  if (argc < 2) die("usage: ombrel_bench_service BIN_DIR [IDLE_SECONDS]");
  // A reader that stops early (| head) must not end us before the service
  // we started is stopped.
  ::signal(SIGPIPE, SIG_IGN);
  const std::string bin = argv[1];
  const int idle_seconds = argc > 2 ? std::atoi(argv[2]) : 60;

  const std::string work =
      (fs::temp_directory_path() / ("ombrel-bench-service-" + std::to_string(::getpid()))).string();
  const std::string install = work + "/install", data = work + "/data";
  fs::create_directories(install);
  fs::create_directories(data);
  // Only we may change the installation folder: the service starts no core
  // from one that others may.
  fs::permissions(install, fs::perms(0755));
  fs::copy_file(bin + "/ombrel-service", install + "/ombrel-service");
  fs::copy_file(bin + "/standin-xray", install + "/xray");
  fs::copy_file(bin + "/standin-sing-box", install + "/sing-box");
  write_text(install + "/xray.script", XRAY_SCRIPT);
  const std::string pipe = data + "/service.sock";
  ::setenv("OMBREL_PIPE", pipe.c_str(), 1);
  ::setenv("OMBREL_DATA_DIR", data.c_str(), 1);

  platform::SpawnOptions options;
  options.program = install + "/ombrel-service";
  options.args = {"run"};
  options.std_in = platform::Stdio::Null;
  options.std_out = platform::Stdio::Null;
  options.std_err = platform::Stdio::Null;
  auto spawned = platform::spawn(options);
  if (!spawned) die("cannot start the service: " + spawned.error().to_string());
  platform::Process service = std::move(*spawned);
  const int pid = static_cast<int>(service.pid());

  const std::string status = control::write_request(control::Status{});
  const std::string disconnect = control::write_request(control::Disconnect{});
  request(pipe, status);
  std::this_thread::sleep_for(2s);
  const double rss_idle = status_kib(pid, "VmRSS") * 1024;

  // Connect, then disconnect untimed, CONNECTS times; the bare start and the
  // minimal server in turn. Each is timed to its reply (to the spawns' return
  // when bare) and on to both cores being up.
  const std::string connect = connect_line();
  std::vector<double> ours, bare, ours_up, bare_up, served, served_up, echoed;
  // One connect over `channel`, timed to its reply and on to both cores up.
  const auto connect_through = [&](const std::string& channel, const std::string& who,
                                   std::vector<double>& replied, std::vector<double>& up_at) {
    UpWatch up(install);
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = request(channel, connect);
    replied.push_back(bench::seconds_since(start));
    if (reply.rfind("{\"state\":\"connected\"", 0) != 0) die(who + ": " + reply);
    up.wait();
    up_at.push_back(bench::seconds_since(start));
  };
  std::string document, tunnel_json = data + "/tunnel.json";
  const std::string document_file = work + "/document.json";
  const std::string server_socket = work + "/spawn-server.sock";
  std::optional<platform::Process> server;
  for (int i = 0; i < CONNECTS; ++i) {
    connect_through(pipe, "connect", ours, ours_up);
    if (document.empty()) document = read_text(install + "/xray.stdin");
    request(pipe, disconnect);
    std::this_thread::sleep_for(30ms);

    if (!server) {
      write_text(document_file, document);
      platform::SpawnOptions bare_server;
      bare_server.program = fs::read_symlink("/proc/self/exe").string();
      bare_server.args = {"spawn-server", server_socket, install, document_file, tunnel_json};
      bare_server.std_in = platform::Stdio::Null;
      bare_server.std_out = platform::Stdio::Null;
      auto started = platform::spawn(bare_server);
      if (!started) die("cannot start the minimal server: " + started.error().to_string());
      server = std::move(*started);
    }
    connect_through(server_socket, "minimal server", served, served_up);
    request(server_socket, "end\n");
    // The bare exchange, through the same client as the connects.
    for (int j = 0; j < 5; ++j) {
      const auto start = std::chrono::steady_clock::now();
      if (request(server_socket, "echo\n") != "echo\n") die("minimal server: no echo");
      echoed.push_back(bench::seconds_since(start));
    }
    std::this_thread::sleep_for(30ms);

    {
      UpWatch up(install);
      const auto start = std::chrono::steady_clock::now();
      BareCores cores = spawn_bare(install, document, tunnel_json);
      bare.push_back(bench::seconds_since(start));
      up.wait();
      bare_up.push_back(bench::seconds_since(start));
      end_bare(cores);
    }
    std::this_thread::sleep_for(30ms);
  }
  const auto median = [](const std::vector<double>& v) { return bench::quantile(v, 0.5); };
  const double spawns_and_echo = median(bare) + median(echoed);
  bench::ratio_row("connect to connected (tunnel mode), request to reply",
                   bench::millis(median(ours)), median(ours),
                   bench::millis(spawns_and_echo) + " (2 spawns returned + 1 echo of " +
                       bench::micros(median(echoed)) + ")",
                   spawns_and_echo, bench::Bound::AtMost, 1.5);
  bench::info_row("  the same, against 2 bare spawns behind a minimal server",
                  bench::millis(median(ours)), median(ours),
                  bench::millis(median(served)) + " (request to reply)", median(served));
  // What asking who listens on the cores' ports adds to every start: the
  // same table the service reads, read here as often; nothing listens.
  std::vector<double> checks;
  for (int i = 0; i < 200; ++i) {
    const std::uint16_t ports[] = {10820};
    const auto start = std::chrono::steady_clock::now();
    if (!platform::loopback_listeners(ports)) die("cannot read the listeners");
    checks.push_back(bench::seconds_since(start));
  }
  bench::info_row("  of it, the check of the cores' ports (share of the reply)",
                  bench::micros(median(checks)), median(checks),
                  bench::millis(median(ours)) + " (request to reply)", median(ours));
  // What judging the cores' images and their folder adds to every start:
  // the same calls on the same two images, as often.
  std::vector<double> judged;
  for (int i = 0; i < 200; ++i) {
    const auto start = std::chrono::steady_clock::now();
    for (const char* core : {"/xray", "/sing-box"}) {
      auto image = platform::InputFile::open(install + core);
      if (!image || !platform::is_safe_program_file(*image).value_or(false)) die("image unsafe");
      auto folder = platform::held_file_folder(*image);
      if (!folder || !platform::is_safe_install_folder(*folder).value_or(false)) {
        die("folder unsafe");
      }
    }
    judged.push_back(bench::seconds_since(start));
  }
  bench::info_row("  of it, the judgement of the cores' images and folder (share)",
                  bench::micros(median(judged)), median(judged),
                  bench::millis(median(ours)) + " (request to reply)", median(ours));
  bench::ratio_row("connect to connected (tunnel mode), request to both cores up",
                   bench::millis(median(ours_up)), median(ours_up),
                   bench::millis(median(bare_up)) + " (2 spawns to both up)", median(bare_up),
                   bench::Bound::AtMost, 1.3);

  // Connected and left alone.
  if (request(pipe, connect).rfind("{\"state\":\"connected\"", 0) != 0) die("connect");
  std::this_thread::sleep_for(3s);
  const double rss_connected = status_kib(pid, "VmRSS") * 1024;
  WriteWatch writes(data);
  const double cpu_start = cpu_seconds(pid);
  const auto idle_start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double cpu = cpu_seconds(pid) - cpu_start;
  const double idle = bench::seconds_since(idle_start);
  const auto [registry_writes, other_writes] = writes.count();
  const int threads = thread_count(pid);
  const std::string reply = request(pipe, status);
  request(pipe, disconnect);

  const auto mib = [](double bytes) { return bench::fixed(bytes / MIB, 2) + " MiB"; };
  bench::row("resident memory, disconnected", mib(rss_idle), "-", "-", "<= 4 MiB",
             rss_idle <= 4 * MIB);
  bench::row("resident memory, connected (" + std::to_string(threads) + " threads)",
             mib(rss_connected), "-", "-", "<= 4 MiB", rss_connected <= 4 * MIB);
  const double share = cpu / idle * 100;
  bench::row("CPU time over " + std::to_string(idle_seconds) + " idle s, connected",
             bench::millis(cpu) + " (" + bench::fixed(share, 3) + "% of a core)", "-", "-",
             "<= 0.1% of a core", share <= 0.1);
  bench::row(
      "file writes over " + std::to_string(idle_seconds) + " s, connected",
      std::to_string(registry_writes) + " registry, " + std::to_string(other_writes) + " other",
      "-", "-", "<= 1 registry write a minute", registry_writes * 60.0 <= idle);
  if (reply.find("\"connected\"") == std::string::npos) {
    std::fprintf(stderr, "status after the idle time: %s", reply.c_str());
  }
  service = platform::Process();
  if (server) {
    request(server_socket, "end\n");
    server.reset();
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
