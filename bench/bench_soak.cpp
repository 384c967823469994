// A long day of a flapping network in half a minute: the running service
// with stand-in cores is connected to two nodes in tunnel mode and
// disconnected again, N times in a row, while a second client asks `status`
// without pause. Its threads, handles (descriptors on Linux) and resident
// memory are read from outside after 20 cycles, by when whatever the
// service keeps for good exists, and after N; between the two nothing may
// grow but memory, and that by less than 1 MiB.
//
//   ombrel_bench_soak BIN_DIR [CYCLES [installed]]
// BIN_DIR holds ombrel-service and the stand-ins standin-xray and
// standin-sing-box, which run as the cores. The service runs with "run";
// with "installed" (Windows) it is installed and started by the service
// control manager, as on a user's machine, and uninstalled at the end.
#ifndef _WIN32
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "bench_report.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/host/service.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "platform/process/selfstats.hpp"

namespace {

using namespace ombrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int DEFAULT_CYCLES = 300;
constexpr int BASELINE_CYCLES = 20;
constexpr double MIB = 1024.0 * 1024.0;

#ifdef _WIN32
constexpr const char* EXE = ".exe";
constexpr const char* TARGET = "Windows build";
#else
constexpr const char* EXE = "";
constexpr const char* TARGET = "Linux";
#endif

const std::string STATUS = "{\"cmd\":\"status\"}\n";
const std::string DISCONNECT = "{\"cmd\":\"disconnect\"}\n";

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "ombrel_bench_soak: %s\n", what.c_str());
  std::exit(1);
}

fs::path u8(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string node(int n) {
  const std::string i = std::to_string(n);
  return "{\"id\":\"n" + i + "\",\"address\":\"192.0.2." + i +
         "\",\"port\":443,\"remark\":\"Узел " + i +
         "\",\"protocol\":{\"Trojan\":{\"password\":\"pw\",\"sni\":\"s\"}},\"raw\":\"\"}";
}

// The system's own handle count moves by one or two between samples (Wine
// makes and drops handles of its own in the service's process); a lost
// handle per connect would show hundreds.
constexpr std::size_t HANDLE_NOISE = 2;

// The counts once the service has been left alone for a moment: a reply
// still being written, or a core still being reaped, is not growth. The
// least of a few samples, for the same reason.
platform::ProcessCounts quiet_counts(std::uint32_t pid) {
  std::this_thread::sleep_for(1s);
  platform::ProcessCounts least;
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(500ms);
    auto counts = platform::process_counts(pid);
    if (!counts) {
      die("cannot count the service's threads and handles: " + counts.error().to_string());
    }
    if (i == 0) least = *counts;
    least.threads = std::min(least.threads, counts->threads);
    least.handles = std::min(least.handles, counts->handles);
    least.resident_bytes = std::min(least.resident_bytes, counts->resident_bytes);
    least.private_bytes = std::min(least.private_bytes, counts->private_bytes);
  }
  return least;
}

struct Figures {
  double at_baseline;
  double at_end;
  double per_100;
};

Figures growth(double at_baseline, double at_end, int cycles) {
  return {at_baseline, at_end, (at_end - at_baseline) * 100.0 / (cycles - BASELINE_CYCLES)};
}

}  // namespace

int main(int argc, char** argv) {
  const auto args = platform::program_arguments(argc, argv);
  if (args.empty() || args.size() > 3) die("usage: ombrel_bench_soak BIN_DIR [CYCLES [installed]]");
  const std::string bin = args[0];
  const int cycles = args.size() > 1 ? std::atoi(args[1].c_str()) : DEFAULT_CYCLES;
  const bool installed = args.size() > 2 && args[2] == "installed";
  if (cycles <= BASELINE_CYCLES) die("CYCLES must be more than " + std::to_string(BASELINE_CYCLES));
#ifndef _WIN32
  ::signal(SIGPIPE, SIG_IGN);
#endif

  const fs::path work = fs::temp_directory_path() /
                        ("ombrel-bench-soak-" + std::to_string(platform::current_process_id()));
  const fs::path install = work / "install";
  fs::create_directories(install);
  // Only we may change it, whatever the umask: no core starts from a folder
  // that others may.
  fs::permissions(install, fs::perms(0755));
  const std::string exe = platform::join_path(bin, std::string("ombrel-service") + EXE);
  fs::copy_file(u8(exe), install / (std::string("ombrel-service") + EXE));
  fs::copy_file(u8(platform::join_path(bin, std::string("standin-xray") + EXE)),
                install / (std::string("xray") + EXE));
  fs::copy_file(u8(platform::join_path(bin, std::string("standin-sing-box") + EXE)),
                install / (std::string("sing-box") + EXE));
#ifndef _WIN32
  fs::create_directories(work / "data");
  ::setenv("OMBREL_DATA_DIR", (work / "data").c_str(), 1);
  ::setenv("OMBREL_PIPE", (work / "data" / "service.sock").c_str(), 1);
#endif
  const std::string pipe = platform::default_pipe_name();

  const std::u8string service_path = (install / (std::string("ombrel-service") + EXE)).u8string();
  const auto start = [&](const std::string& word) {
    platform::SpawnOptions options;
    options.program = std::string(service_path.begin(), service_path.end());
    options.args = {word};
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Null;
    options.std_err = platform::Stdio::Null;
    auto spawned = platform::spawn(options);
    if (!spawned) die("cannot start the service: " + spawned.error().to_string());
    return std::move(*spawned);
  };
  platform::Process service;
  std::uint32_t pid = 0;
  if (installed) {
    // A manager still busy with a new prefix's own services refuses
    // starts for a while.
    bool done_installing = false;
    for (int i = 0; i < 60 && !done_installing; ++i) {
      done_installing = start("install").wait().value_or(-1) == 0;
      if (!done_installing) std::this_thread::sleep_for(2s);
    }
    if (!done_installing) die("cannot install the service");
    for (int i = 0; i < 600 && pid == 0; ++i) {
      pid = platform::running_service_pid("OmbrelService").value_or(0);
      if (pid == 0) std::this_thread::sleep_for(100ms);
    }
    if (pid == 0) die("the installed service does not run");
  } else {
    service = start("run");
    pid = service.pid();
  }
  const auto ask = [&](const std::string& line) {
    auto reply = platform::pipe_exchange(pipe, line, 60s);
    if (!reply) die("request failed: " + reply.error().to_string());
    return *reply;
  };
  ask(STATUS);

  // The second client: status after status, paused while the counts are
  // taken so that its connection in flight is not counted.
  std::atomic<bool> asking{true};
  std::atomic<bool> done{false};
  std::atomic<long> answered{0};
  std::atomic<long> failed{0};
  std::atomic<long> slowest_us{0};
  std::thread status_client([&] {
    while (!done) {
      if (!asking) {
        std::this_thread::sleep_for(10ms);
        continue;
      }
      const auto start = std::chrono::steady_clock::now();
      auto reply = platform::pipe_exchange(pipe, STATUS, 30s);
      const long us = static_cast<long>(bench::seconds_since(start) * 1e6);
      if (us > slowest_us) slowest_us = us;
      if (reply && reply->starts_with("{\"state\":")) {
        ++answered;
      } else {
        ++failed;
      }
    }
  });
  const auto counts_now = [&] {
    asking = false;
    auto counts = quiet_counts(pid);
    asking = true;
    return counts;
  };

  const std::string connect = "{\"cmd\":\"connect\",\"nodes\":[" + node(1) + "," + node(2) + "]}\n";
  platform::ProcessCounts baseline;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 1; i <= cycles; ++i) {
    const std::string reply = ask(connect);
    if (!reply.starts_with("{\"state\":\"connected\"")) die("connect: " + reply);
    if (ask(DISCONNECT) != "{\"state\":\"disconnected\"}\n") die("disconnect failed");
    if (i == BASELINE_CYCLES) baseline = counts_now();
  }
  const double took = bench::seconds_since(started);
  const platform::ProcessCounts end = counts_now();
  done = true;
  status_client.join();
  if (installed) {
    (void)start("uninstall").wait();
  } else {
    service = platform::Process();
  }
  std::error_code ec;
  fs::remove_all(work, ec);

  // Commentary only: Wine gives no private bytes of another process.
  std::printf("private memory %.2f -> %.2f MiB\n", baseline.private_bytes / MIB,
              end.private_bytes / MIB);
  std::printf("%d cycles in %.1f s, %ld status requests beside them, %ld failed, slowest %.1f ms\n",
              cycles, took, answered.load(), failed.load(), slowest_us.load() / 1e3);
  const std::string what = std::string("soak (") + TARGET + (installed ? ", installed" : "") +
                           "), " + std::to_string(BASELINE_CYCLES) + " -> " +
                           std::to_string(cycles) + " connects, ";
  const auto count_row = [&](const std::string& name, std::size_t a, std::size_t b,
                             std::size_t noise) {
    const Figures f = growth(static_cast<double>(a), static_cast<double>(b), cycles);
    bench::row(what + name,
               std::to_string(a) + " -> " + std::to_string(b) + " (" + bench::fixed(f.per_100, 1) +
                   " per 100)",
               "-", "-",
               noise == 0 ? std::string("no growth")
                          : "no growth (+-" + std::to_string(noise) + " the system's own)",
               b <= a + noise);
  };
  count_row("threads", baseline.threads, end.threads, 0);
  count_row("handles", baseline.handles, end.handles, HANDLE_NOISE);
  const Figures memory = growth(baseline.resident_bytes / MIB, end.resident_bytes / MIB, cycles);
  bench::row(what + "resident memory",
             bench::fixed(memory.at_baseline, 2) + " -> " + bench::fixed(memory.at_end, 2) +
                 " MiB (" + bench::fixed(memory.per_100, 3) + " MiB per 100)",
             "-", "-", "within 1 MiB", memory.at_end - memory.at_baseline <= 1.0);
  bench::row(what + "status requests beside them",
             std::to_string(answered.load()) + ", slowest " +
                 bench::fixed(slowest_us.load() / 1e3, 1) + " ms",
             std::to_string(failed.load()) + " failed", "-", "none failed", failed == 0);
  return 0;
}
