// The status round trip of the real service against the bare limit of its
// transport. Our side: `status` sent to `ombrel-service run` over the real
// control channel (a Unix socket on Linux, the named pipe on Windows). The
// bare side: a minimal echo server on the same kind of socket or pipe, one
// line in and one line out per connection (on Windows with the flush and
// disconnect every correct pipe server needs). Both servers are child
// processes; the same minimal client times both, request by request, in
// alternating blocks so that a busy moment of the machine hits both alike.
//
//   ombrel_bench_status SERVICE_EXE        the benchmark
//   ombrel_bench_status echo-server NAME   the bare server (started by it)
#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "line_server_posix.hpp"
#endif

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_report.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"

namespace {

using namespace ombrel;
using namespace std::chrono_literals;

constexpr int REQUESTS = 20'000;
constexpr int BLOCK = 1'000;
constexpr int WARM_UP = 500;
constexpr std::string_view STATUS = "{\"cmd\":\"status\"}\n";

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "ombrel_bench_status: %s\n", what.c_str());
  std::exit(1);
}

#ifdef _WIN32

constexpr const wchar_t* SERVICE_PIPE = L"\\\\.\\pipe\\OmbrelService";
constexpr const wchar_t* ECHO_PIPE = L"\\\\.\\pipe\\OmbrelBenchEcho";
constexpr const char* TRANSPORT = "named pipe, Wine";

// One connection: the line out, everything until the server disconnects back.
bool exchange(const wchar_t* name, std::string_view line, std::string& reply) {
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 10'000; ++attempt) {
    h = ::CreateFileW(name, GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) break;
    const DWORD err = ::GetLastError();
    if (err == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeW(name, 1000);
    } else if (err == ERROR_FILE_NOT_FOUND) {
      ::Sleep(1);
    } else {
      return false;
    }
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok =
      ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &n, nullptr) && n == line.size();
  reply.clear();
  char buf[4096];
  while (ok && ::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) reply.append(buf, n);
  ::CloseHandle(h);
  return ok;
}

[[noreturn]] void echo_server(const std::string&) {
  HANDLE pipe = ::CreateNamedPipeW(ECHO_PIPE, PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                   0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) die("CreateNamedPipe");
  std::string line;
  char buf[8192];
  for (;;) {
    ::ConnectNamedPipe(pipe, nullptr);
    line.clear();
    DWORD n = 0;
    while (line.find('\n') == std::string::npos && ::ReadFile(pipe, buf, sizeof buf, &n, nullptr) &&
           n > 0) {
      line.append(buf, n);
    }
    ::WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
    ::FlushFileBuffers(pipe);
    ::DisconnectNamedPipe(pipe);
  }
}

#else

constexpr const char* TRANSPORT = "Unix socket";

bool exchange(const std::string& path, std::string_view line, std::string& reply) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = false;
  for (int attempt = 0; attempt < 10'000; ++attempt) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
      ok = true;
      break;
    }
    if (errno != ENOENT && errno != ECONNREFUSED && errno != EAGAIN && errno != EINTR) break;
    std::this_thread::sleep_for(1ms);
  }
  ok =
      ok && ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
  reply.clear();
  char buf[4096];
  ssize_t n = 0;
  while (ok && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return ok;
}

[[noreturn]] void echo_server(const std::string& path) {
  bench::serve_lines(path, [](const std::string& line) { return line; });
  die("echo socket");
}

#endif

template <class Name>
double timed_exchange(const Name& name, std::string_view expected_start) {
  static std::string reply;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = exchange(name, STATUS, reply);
  const double t = bench::seconds_since(start);
  if (!ok || reply.compare(0, expected_start.size(), expected_start) != 0) {
    die("unexpected reply: " + reply);
  }
  return t;
}

template <class Name>
void wait_for_server(const Name& name) {
  std::string reply;
  for (int i = 0; i < 600; ++i) {
    if (exchange(name, STATUS, reply) && !reply.empty()) return;
    std::this_thread::sleep_for(100ms);
  }
  die("the server does not answer");
}

platform::Process start(const std::string& program, std::vector<std::string> args) {
  platform::SpawnOptions options;
  options.program = program;
  options.args = std::move(args);
  options.std_in = platform::Stdio::Null;
  options.std_out = platform::Stdio::Null;
  options.std_err = platform::Stdio::Null;
  auto process = platform::spawn(options);
  if (!process) die("cannot start " + program + ": " + process.error().to_string());
  return std::move(*process);
}

// Times both servers in alternating blocks, after a warm-up, and prints the
// median and p99 rows under `what`.
template <class Name>
void measure(const Name& ours, const Name& bare, const std::string& what) {
  for (int i = 0; i < WARM_UP; ++i) {
    timed_exchange(ours, "{\"state\":");
    timed_exchange(bare, STATUS);
  }
  std::vector<double> ours_times, bare_times;
  for (int done = 0; done < REQUESTS; done += BLOCK) {
    for (int i = 0; i < BLOCK; ++i) ours_times.push_back(timed_exchange(ours, "{\"state\":"));
    for (int i = 0; i < BLOCK; ++i) bare_times.push_back(timed_exchange(bare, STATUS));
  }
  for (const auto& [name, q] : {std::pair{"median", 0.5}, std::pair{"p99", 0.99}}) {
    const double o = bench::quantile(ours_times, q);
    const double b = bench::quantile(bare_times, q);
    bench::ratio_row(what + name, bench::micros(o), o, bench::micros(b), b, bench::Bound::AtMost,
                     1.5);
  }
}

#ifndef _WIN32
// Every thread of process `pid` on `cpu` alone.
void pin(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const pid_t tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
    if (::sched_setaffinity(tid, sizeof set, &set) != 0) die("sched_setaffinity");
  }
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const auto args = platform::program_arguments(argc, argv);
  if (args.size() == 2 && args[0] == "echo-server") echo_server(args[1]);
  if (args.size() != 1) die("usage: ombrel_bench_status SERVICE_EXE");
#ifndef _WIN32
  // A reader that stops early (| head) must not end us before the servers
  // we started are stopped.
  ::signal(SIGPIPE, SIG_IGN);
#endif
  const auto self = platform::current_exe_path();
  if (!self) die("own path: " + self.error().to_string());

#ifdef _WIN32
  const wchar_t* ours = SERVICE_PIPE;
  const wchar_t* bare = ECHO_PIPE;
  const std::string bare_arg = "-";
#else
  std::error_code ec;
  const std::string dir = (std::filesystem::temp_directory_path() /
                           ("ombrel-bench-status-" + std::to_string(::getpid())))
                              .string();
  std::filesystem::create_directories(dir, ec);
  const std::string ours = dir + "/service.sock";
  const std::string bare = dir + "/echo.sock";
  const std::string bare_arg = bare;
  ::setenv("OMBREL_PIPE", ours.c_str(), 1);
  ::setenv("OMBREL_DATA_DIR", (dir + "/data").c_str(), 1);
#endif
  platform::Process service = start(args[0], {"run"});
  platform::Process echo = start(*self, {"echo-server", bare_arg});
  wait_for_server(ours);
  wait_for_server(bare);

  const std::string what = std::string("status round trip (") + TRANSPORT + ")";
  // Where the scheduler runs each server decides much of the figure: on an
  // idle two-CPU machine a server left on the other CPU than the client's
  // pays a cross-CPU wake-up twice per exchange (some 25 us each in a
  // virtual machine), one kept beside the client pays none, and which of
  // the two a server settles into is chance that lasts the whole run. So
  // the pair is also measured with both servers and the client on one CPU,
  // and with the servers on the other CPU than the client's: the same
  // placement for both, the rest of the difference is the path.
  measure(ours, bare, what + ", ");
#ifndef _WIN32
  if (::sysconf(_SC_NPROCESSORS_ONLN) >= 2) {
    for (const auto& [name, server_cpu] : {std::pair{"one CPU", 0}, std::pair{"two CPUs", 1}}) {
      pin(::getpid(), 0);
      pin(static_cast<pid_t>(service.pid()), server_cpu);
      pin(static_cast<pid_t>(echo.pid()), server_cpu);
      measure(ours, bare, what + ", " + name + ", ");
    }
  }
#endif
  service = platform::Process();
  echo = platform::Process();
#ifndef _WIN32
  std::filesystem::remove_all(dir, ec);
#endif
  return 0;
}
