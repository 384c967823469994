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

#include <nlohmann/json.hpp>

#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "running_service.hpp"
#include "testsupport.hpp"

namespace ombrel::hostile_e2e {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using e2e::DISCONNECTED;
using e2e::reply_or_error;
using e2e::STATUS;

// ombrel-service "run" in an installation folder of its own.
class Service : public e2e::RunningService {
 public:
  Service() : RunningService(e2e::ServiceSetup("hostile")) {}
};

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

// Lines of the service's log (this run's and the one before it) that hold
// `text`.
std::size_t log_lines_with(std::string_view text) {
  std::size_t found = 0;
  for (const char* name : {"service-diag.log", "service-diag.prev.log"}) {
    const std::string log =
        e2e::read_file(platform::join_path(platform::data_dir(), name)).value_or("");
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
  }
  return found;
}

// Thousands of connections, each one line that is not UTF-8 and gone: each
// would say two lines (the refusal, the reply that did not go out), enough
// to rotate the service's log away several times over. The same line from
// the same user is said once a minute, so what was written before stays.
TEST(HostileClients, AFloodOfBadLinesLeavesTheRecordBeforeIt) {
  Service service;
  // A line of the service's that only this request makes: a refused update.
  const std::string missing = service.install().file("missing-app");
  const std::string update =
      nlohmann::json{{"cmd", "update"},         {"version", "9"},
                     {"app_path", missing},     {"app_sha256", std::string(64, 'a')},
                     {"service_path", missing}, {"service_sha256", std::string(64, 'a')}}
          .dump() +
      "\n";
  service.ask(update);
  const std::string before = "обновление не поставлено: ";
  ASSERT_TRUE(testsupport::wait_until([&] { return log_lines_with(before) == 1; }, 30s));

  constexpr int FLOOD = 6000;
  for (int i = 0; i < FLOOD; ++i) {
    auto client = platform::PipeClient::connect(service.pipe(), 30s);
    ASSERT_TRUE(client) << client.error().to_string();
    ASSERT_TRUE(client->write_all("\xff\n"));
  }
  EXPECT_EQ(service.ask(STATUS), DISCONNECTED);
  EXPECT_EQ(log_lines_with(before), 1u);
  const std::size_t refusals = log_lines_with("запрос не в кодировке UTF-8");
  EXPECT_GE(refusals, 1u);
  EXPECT_LE(refusals, 3u);
}

}  // namespace
}  // namespace ombrel::hostile_e2e
