// The real service's one control channel against clients that misbehave on
// purpose, while the desktop application keeps asking for the status: it
// must be answered every time, and never wait longer than the misbehaving
// clients ahead of it may hold the channel (five seconds of silence, ten
// seconds for a whole request or reply).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.hpp"
#include "platform/pipe.hpp"
#include "platform/process.hpp"
#include "testsupport.hpp"

namespace ombrel::hostile_e2e {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const std::string STATUS = "{\"cmd\":\"status\"}\n";
const std::string DISCONNECTED = "{\"state\":\"disconnected\"}\n";

// ombrel-service "run" in an installation folder of its own.
class Service {
 public:
  Service() {
    const std::string exe = testsupport::exe_name("ombrel-service");
    const std::string copy = platform::join_path(install_.path(), exe);
    std::filesystem::copy_file(
        testsupport::fs_path(platform::join_path(testsupport::bin_dir(), exe)),
        testsupport::fs_path(copy));
#ifndef _WIN32
    ::setenv("OMBREL_DATA_DIR", data_.path().c_str(), 1);
    ::setenv("OMBREL_PIPE", data_.file("service.sock").c_str(), 1);
#endif
    pipe_ = platform::default_pipe_name();
    platform::SpawnOptions options;
    options.program = copy;
    options.args = {"run"};
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Null;
    options.std_err = platform::Stdio::Pipe;
    auto process = platform::spawn(options);
    if (!process) {
      ADD_FAILURE() << "cannot start the service: " << process.error().to_string();
      return;
    }
    process_ = std::move(*process);
    err_reader_ = std::thread([this, err = process_.take_stderr()]() mutable {
      std::array<char, 4096> buf;
      while (err) {
        auto n = err->read(buf);
        if (!n || *n == 0) break;
        std::lock_guard lock(mutex_);
        err_.append(buf.data(), *n);
      }
    });
    EXPECT_EQ(platform::pipe_exchange(pipe_, STATUS, 60s).value_or("?"), DISCONNECTED)
        << "the service does not answer";
  }
  ~Service() {
    (void)process_.terminate(1);
    (void)process_.wait();
    if (err_reader_.joinable()) err_reader_.join();
  }

  const std::string& pipe() const {
    return pipe_;
  }
  bool running() {
    return process_.try_wait().value_or(std::optional<int>(-1)) == std::nullopt;
  }
  std::string stderr_text() {
    std::lock_guard lock(mutex_);
    return err_;
  }

 private:
  testsupport::InstallDir install_{"hostile"};
  testsupport::TempDir data_{"hostile-data"};
  std::string pipe_;
  platform::Process process_;
  std::mutex mutex_;
  std::string err_;
  std::thread err_reader_;
};

std::string reply_or_error(const Result<std::string>& reply) {
  if (reply) return *reply;
  std::string failed = "(";
  failed += reply.error().to_string();
  failed += ")";
  return failed;
}

// One kind of misbehaving client (a behaviour of standin-hostile), run by
// `clients` threads at once, each reconnecting as soon as it is dropped.
struct Hostile {
  const char* name;
  const char* behaviour;
  int clients;
  milliseconds hold;  // the longest one of them may hold the channel
};

const std::vector<Hostile> HOSTILES = {
    {"many well-behaved clients at once", "well-behaved", 24, 250ms},
    {"connects and stalls", "stalls", 1, 5s},
    {"stalls half-way through its line", "stalls-mid-line", 1, 5s},
    {"trickles a byte a second", "trickles", 1, 10s},
    {"sends 256 KiB that are not UTF-8 and waits", "not-utf8", 1, 5s},
    {"sends 256 KiB of printable garbage", "ascii-garbage", 4, 500ms},
    {"disconnects in the middle of its reply", "drops-mid-reply", 4, 500ms},
    {"disconnects before its reply", "drops-before-reply", 8, 250ms},
};

void sleep_ms(int ms) {
  std::this_thread::sleep_for(milliseconds(ms));
}

TEST(HostileClients, DesktopIsServedWithinTheStallBound) {
  Service service;
  for (const auto& h : HOSTILES) {
    SCOPED_TRACE(h.name);
    // The attackers live in a process of their own: the service tells the
    // desktop from them by process.
    platform::SpawnOptions options;
    options.program =
        platform::join_path(testsupport::bin_dir(), testsupport::exe_name("standin-hostile"));
    options.args = {service.pipe(), h.behaviour, std::to_string(h.clients), "9000"};
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Pipe;
    options.std_err = platform::Stdio::Null;
    auto attackers = platform::spawn(options);
    ASSERT_TRUE(attackers) << attackers.error().to_string();
    std::string attackers_said;
    std::thread out_reader([&attackers_said, out = attackers->take_stdout()]() mutable {
      std::array<char, 256> buf;
      while (out) {
        auto n = out->read(buf);
        if (!n || *n == 0) break;
        attackers_said.append(buf.data(), *n);
      }
    });

    // The desktop application: a status now and then, each timed from the
    // moment it starts waiting for the channel.
    milliseconds slowest{0};
    int answered = 0;
    const auto until = steady_clock::now() + 8s;
    while (steady_clock::now() < until) {
      const auto start = steady_clock::now();
      auto reply = platform::pipe_exchange(service.pipe(), STATUS, 120s);
      const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
      EXPECT_EQ(reply_or_error(reply), DISCONNECTED);
      slowest = std::max(slowest, took);
      ++answered;
      sleep_ms(200);
    }
    EXPECT_EQ(attackers->wait().value_or(-1), 0);
    out_reader.join();
    while (!attackers_said.empty() &&
           (attackers_said.back() == '\n' || attackers_said.back() == '\r')) {
      attackers_said.pop_back();
    }

    // Ahead of the desktop may be every attacker once, each holding the
    // channel at most its bound; the margin covers process scheduling.
    const milliseconds bound = h.hold * h.clients + 3s;
    EXPECT_LE(slowest, bound);
    EXPECT_TRUE(service.running()) << service.stderr_text();
    std::cout << h.name << ": " << attackers_said << " of the attackers, " << answered
              << " desktop requests, slowest " << slowest.count() << " ms (bound " << bound.count()
              << " ms)\n";
  }
  // Still one service, still answering, nothing it said looks like a crash.
  EXPECT_EQ(platform::pipe_exchange(service.pipe(), STATUS, 30s).value_or("?"), DISCONNECTED);
  const std::string said = service.stderr_text();
  for (const char* bad : {"Sanitizer", "runtime error", "terminate called"}) {
    EXPECT_EQ(said.find(bad), std::string::npos) << said;
  }
}

}  // namespace
}  // namespace ombrel::hostile_e2e
