// The real service's one control channel against clients that misbehave on
// purpose, while the desktop application keeps asking for the status: it
// must be answered every time, and never wait longer than the misbehaving
// clients ahead of it may hold the channel (five seconds of silence, ten
// seconds for a whole request or reply).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <random>
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

std::string random_bytes(std::size_t n, bool ascii) {
  std::mt19937 random(std::random_device{}());
  std::string out(n, '\0');
  for (auto& c : out) {
    c = static_cast<char>(ascii ? 0x21 + random() % 0x5e : random() % 256);
    if (c == '\n') c = 'x';
  }
  return out;
}

// A node the service refuses by name, with a remark long enough that the
// refusal does not fit the channel's buffers.
// Built by appending: g++ 12 at -O3 reports a false overlap for
// "literal" + std::string&&.
std::string connect_with_long_refusal() {
  std::string line =
      "{\"cmd\":\"connect\",\"nodes\":[{\"id\":\"x\",\"address\":\"203.0.113.1\",\"port\":0,"
      "\"remark\":\"";
  line.append(200 * 1024, 'r');
  line += "\",\"protocol\":{\"Trojan\":{\"password\":\"p\",\"sni\":\"s\"}},\"raw\":\"\"}]}\n";
  return line;
}

std::string reply_or_error(const Result<std::string>& reply) {
  if (reply) return *reply;
  std::string failed = "(";
  failed += reply.error().to_string();
  failed += ")";
  return failed;
}

// One misbehaving client: connects, does its thing, goes away.
using Behaviour = std::function<void(platform::PipeClient&)>;

struct Hostile {
  const char* name;
  Behaviour behave;
  int clients;        // at once, each reconnecting as soon as it is dropped
  milliseconds hold;  // the longest one of them may hold the channel
};

void sleep_ms(int ms) {
  std::this_thread::sleep_for(milliseconds(ms));
}

std::vector<Hostile> hostiles() {
  const std::string garbage = random_bytes(256 * 1024, false);
  const std::string ascii_garbage = random_bytes(256 * 1024, true);
  const std::string refusal = connect_with_long_refusal();
  return {
      {"many well-behaved clients at once",
       [](platform::PipeClient& c) {
         if (c.write_all(STATUS)) (void)c.read_to_end();
       },
       24, 250ms},
      {"connects and stalls",
       [](platform::PipeClient& c) {
         (void)c.read_to_end();  // until dropped
       },
       1, 5s},
      {"stalls half-way through its line",
       [](platform::PipeClient& c) {
         if (c.write_all("{\"cmd\":\"con")) (void)c.read_to_end();
       },
       1, 5s},
      {"trickles a byte a second",
       [](platform::PipeClient& c) {
         for (int i = 0; i < 60; ++i) {
           if (!c.write_all("[")) return;
           sleep_ms(1000);
         }
       },
       1, 10s},
      {"sends 256 KiB that are not UTF-8 and waits",
       [garbage](platform::PipeClient& c) {
         if (c.write_all(garbage)) (void)c.read_to_end();
       },
       1, 5s},
      {"sends 256 KiB of printable garbage",
       [ascii_garbage](platform::PipeClient& c) {
         if (c.write_all(ascii_garbage)) (void)c.read_to_end();
       },
       4, 500ms},
      {"disconnects in the middle of its reply",
       [refusal](platform::PipeClient& c) {
         if (!c.write_all(refusal)) return;
         std::array<char, 1024> buf;
         (void)c.read(buf);
       },
       4, 500ms},
      {"disconnects before its reply", [](platform::PipeClient& c) { (void)c.write_all(STATUS); },
       8, 250ms},
  };
}

TEST(HostileClients, DesktopIsServedWithinTheStallBound) {
  Service service;
  for (const auto& h : hostiles()) {
    SCOPED_TRACE(h.name);
    std::atomic<bool> stop{false};
    std::atomic<int> sessions{0};
    std::vector<std::thread> attackers;
    for (int i = 0; i < h.clients; ++i) {
      attackers.emplace_back([&] {
        while (!stop) {
          auto client = platform::PipeClient::connect(service.pipe(), 5s);
          if (!client) continue;
          ++sessions;
          h.behave(*client);
        }
      });
    }

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
    stop = true;
    for (auto& t : attackers) t.join();

    // Ahead of the desktop may be every attacker once, each holding the
    // channel at most its bound; the margin covers process scheduling.
    const milliseconds bound = h.hold * h.clients + 3s;
#ifdef _WIN32
    // Not on Windows: the one pipe instance keeps no queue, and an attacker
    // that reconnects the moment it is dropped wins the race for the freed
    // instance as often as the desktop does, so the desktop may wait out
    // several holds (a known weakness, see docs/attack-surface.md). It is
    // still answered every time, within its patience.
    if (slowest > bound) std::cout << "over the bound: ";
#else
    EXPECT_LE(slowest, bound);
#endif
    EXPECT_TRUE(service.running()) << service.stderr_text();
    std::cout << h.name << ": " << sessions << " hostile sessions, " << answered
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
