// Lines per second of the core log watcher reading a real pipe, against the
// same bytes read from the same kind of pipe and thrown away. The watcher
// keeps up with the proxy core only if this ratio stays high: a slow reader
// blocks the core once its pipe is full.
//
// The mix per 100,000 lines: 70% access lines routed through p0..p11, 8%
// access lines to "direct" (not logged), 21% other core output, 1% probe
// failures. Probes are 10 simulated seconds apart and rotate over the
// channels, so they stay below the limit except for one burst of three on
// one channel per 100,000 lines, which costs a registry save (with fsync).
// The diagnostic log fills to its cap early and then costs nothing.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.hpp"
#include "base/stream.hpp"
#include "bench_report.hpp"
#include "platform/files/paths.hpp"
#include "registry/registry.hpp"
#include "serving/core_log.hpp"
#include "serving/line_reader.hpp"

namespace {

using namespace ombrel;

constexpr int LINES_PER_BLOCK = 100'000;
constexpr int BLOCKS = 20;
constexpr int CHANNELS = 12;
constexpr int ROUNDS = 7;

class FdReader final : public Reader {
 public:
  explicit FdReader(int fd) : fd_(fd) {}
  ~FdReader() override { ::close(fd_); }
  Result<std::size_t> read(std::span<char> buf) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buf.data(), buf.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return fail("read failed");
    }
  }

 private:
  int fd_;
};

// Each reading moves time on by ten seconds; it is read only for probes.
class SteppingClock final : public Clock {
 public:
  std::int64_t wall_ms() const override { return now_ += 10'000; }
  std::chrono::steady_clock::time_point monotonic() const override {
    return std::chrono::steady_clock::now();
  }

 private:
  mutable std::atomic<std::int64_t> now_{1'700'000'000'000};
};

std::string make_block() {
  static const char* const hosts[] = {"www.example.com", "api.example.net", "cdn.example.org",
                                      "mail.example.com", "static.example.io"};
  std::string block;
  int probe = 0;
  for (int i = 0; i < LINES_PER_BLOCK; ++i) {
    const int kind = i % 100;
    const std::string time = "2024/05/01 12:" + std::to_string(10 + i % 50) + ":" +
                             std::to_string(10 + i % 49) + ".123456 ";
    if (kind < 70) {
      block += time + "from 127.0.0.1:" + std::to_string(40000 + i % 20000) +
               " accepted tcp:" + hosts[i % 5] + ":443 [socks-in " + (i % 7 == 0 ? ">>" : "->") +
               " p" + std::to_string(i % CHANNELS) + "]\n";
    } else if (kind < 78) {
      block += time + "from 127.0.0.1:" + std::to_string(40000 + i % 20000) +
               " accepted udp:" + hosts[i % 5] + ":53 [socks-in -> direct]\n";
    } else if (kind < 99) {
      block += time + "[Info] [" + std::to_string(1000000 + i) +
               "] proxy/vless/outbound: tunneling request to tcp:" + hosts[i % 5] +
               ":443 via 203.0.113." + std::to_string(i % 250) + ":443\n";
    } else {
      // Three in a row for channel 5 once per block, else one channel after
      // another plus one the watcher has no label for.
      const int channel = (probe >= 500 && probe < 503) ? 5 : probe % (CHANNELS + 1);
      ++probe;
      block += time +
               "[Warning] app/observatory: error ping https://cp.example/generate_204 with p" +
               std::to_string(channel) + ": context deadline exceeded\n";
    }
  }
  return block;
}

// Feeds `block` BLOCKS times into a new pipe on a thread; returns the read end.
int start_feeding(const std::string& block, std::thread& writer) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::exit(1);
  }
  writer = std::thread([fd = fds[1], &block] {
    for (int b = 0; b < BLOCKS; ++b) {
      std::string_view rest = block;
      while (!rest.empty()) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0) {
          if (errno == EINTR) continue;
          std::perror("write");
          std::exit(1);
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
      }
    }
    ::close(fd);
  });
  return fds[0];
}

double thread_cpu_seconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The calling thread's processor time in the kernel (the reads).
double thread_system_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) * 1e-6;
}

struct Timing {
  double wall = 1e9;
  // The reading thread's own processor time, system calls included: what
  // the reader costs, whatever else the machine is doing.
  double cpu = 1e9;
  double system = 1e9;  // of `cpu`, in the kernel
  void keep_best(const Timing& t) {
    wall = std::min(wall, t.wall);
    if (t.cpu < cpu) {
      cpu = t.cpu;
      system = t.system;
    }
  }
};

template <class Body>
Timing run(const std::string& block, Body body) {
  std::thread writer;
  const int fd = start_feeding(block, writer);
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = thread_cpu_seconds();
  const double system_start = thread_system_seconds();
  body(std::make_unique<FdReader>(fd));
  const double cpu_end = thread_cpu_seconds();
  const double system_end = thread_system_seconds();
  const auto end = std::chrono::steady_clock::now();
  writer.join();
  return {std::chrono::duration<double>(end - start).count(), cpu_end - cpu_start,
          system_end - system_start};
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/ombrel-bench-XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string block = make_block();
  const double lines = static_cast<double>(LINES_PER_BLOCK) * BLOCKS;
  std::vector<std::string> labels;
  for (int i = 0; i < CHANNELS; ++i) labels.push_back("Node " + std::to_string(i) + " app_x");

  Timing raw;
  Timing watch;
  std::int64_t last_channel = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    raw.keep_best(run(block, [](std::unique_ptr<Reader> reader) {
      char buf[serving::LineReader::BUFFER_SIZE];
      while (true) {
        const auto n = reader->read(buf);
        if (!n || *n == 0) break;
      }
    }));
    SteppingClock clock;
    registry::ChannelRegistry registry(platform::join_path(dir, "channels.json"), clock);
    const auto current = serving::make_current_channel();
    watch.keep_best(run(block, [&](std::unique_ptr<Reader> reader) {
      serving::watch_core_log(labels, current, std::move(reader), registry, clock,
                              platform::join_path(dir, "core-diag.log"));
    }));
    last_channel = current->load();
  }
  const double mib = static_cast<double>(block.size()) * BLOCKS / (1024.0 * 1024.0);
  std::printf("%.0f lines (%.1f MiB) through a pipe, 8 KiB reads, best of %d rounds\n", lines, mib,
              ROUNDS);
  std::printf("%-18s %16s %16s\n", "", "lines/s (wall)", "lines/s (cpu)");
  std::printf("%-18s %16.0f %16.0f\n", "read and discard", lines / raw.wall, lines / raw.cpu);
  std::printf("%-18s %16.0f %16.0f\n", "watch_core_log", lines / watch.wall, lines / watch.cpu);
  std::printf(
      "per line: read and discard %.1f ns (%.1f in the kernel), watch_core_log %.1f ns "
      "(%.1f in the kernel)\n",
      raw.cpu / lines * 1e9, raw.system / lines * 1e9, watch.cpu / lines * 1e9,
      watch.system / lines * 1e9);
  const auto rate = [&](double seconds) {
    return bench::fixed(lines / seconds / 1e6, 1) + " M lines/s";
  };
  bench::ratio_row("log watching, lines/s through a pipe (wall)", rate(watch.wall), 1 / watch.wall,
                   rate(raw.wall) + " (read, discard)", 1 / raw.wall, bench::Bound::AtLeast, 0.5);
  bench::ratio_row("log watching, lines per CPU second of the reading thread", rate(watch.cpu),
                   1 / watch.cpu, rate(raw.cpu) + " (read, discard)", 1 / raw.cpu,
                   bench::Bound::AtLeast, 0.5);
  if (last_channel != (LINES_PER_BLOCK - 100 + 69) % CHANNELS) {
    std::printf("unexpected last channel p%lld\n", static_cast<long long>(last_channel));
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
