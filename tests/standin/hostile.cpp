// A process of misbehaving control-channel clients, apart from the test that
// plays the desktop application (the service tells clients apart by process,
// and turns away a process it dropped for stalling):
//   standin-hostile CHANNEL BEHAVIOUR CLIENTS MILLISECONDS
// CLIENTS threads each connect, behave and reconnect at once, until
// MILLISECONDS have passed; then "sessions N" goes to standard output.
//   standin-hostile CHANNEL BEHAVIOUR once
// One connection: "connected" and a line feed go to standard output as soon
// as it is made (so a test can time what follows), then, once the behaviour
// is over, every byte the service sent on it. Exit code 1 when no
// connection could be made.
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/channel/pipe.hpp"
#include "platform/host/console.hpp"
#include "platform/process/process.hpp"

namespace {

using namespace std::chrono_literals;
using ombrel::platform::PipeClient;

const std::string STATUS = "{\"cmd\":\"status\"}\n";

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
// refusal does not fit the channel's buffers. Built by appending: g++ 12 at
// -O3 reports a false overlap for "literal" + std::string&&.
std::string connect_with_long_refusal() {
  std::string line =
      "{\"cmd\":\"connect\",\"nodes\":[{\"id\":\"x\",\"address\":\"203.0.113.1\",\"port\":0,"
      "\"remark\":\"";
  line.append(200 * 1024, 'r');
  line += "\",\"protocol\":{\"Trojan\":{\"password\":\"p\",\"sni\":\"s\"}},\"raw\":\"\"}]}\n";
  return line;
}

// What a client does on one connection; gives what it read from it.
using Behaviour = std::function<std::string(PipeClient&)>;

std::string rest_of(PipeClient& c) {
  return c.read_to_end().value_or("");
}

std::map<std::string, Behaviour> behaviours() {
  const std::string garbage = random_bytes(256 * 1024, false);
  const std::string ascii_garbage = random_bytes(256 * 1024, true);
  const std::string refusal = connect_with_long_refusal();
  return {
      {"well-behaved",
       [](PipeClient& c) { return c.write_all(STATUS) ? rest_of(c) : std::string(); }},
      // Until dropped.
      {"stalls", [](PipeClient& c) { return rest_of(c); }},
      {"stalls-mid-line",
       [](PipeClient& c) { return c.write_all("{\"cmd\":\"con") ? rest_of(c) : std::string(); }},
      {"trickles",
       [](PipeClient& c) {
         for (int i = 0; i < 60; ++i) {
           if (!c.write_all("[")) break;
           std::this_thread::sleep_for(1s);
         }
         return std::string();
       }},
      // A whole line, but not UTF-8; then waits for the reply that is not
      // coming.
      {"not-utf8-line",
       [](PipeClient& c) {
         return c.write_all(
                    "{\"cmd\":\"st\xff\xfe"
                    "atus\"}\n")
                    ? rest_of(c)
                    : std::string();
       }},
      {"not-utf8", [garbage](PipeClient& c) { return c.write_all(garbage) ? rest_of(c) : ""; }},
      {"ascii-garbage",
       [ascii_garbage](PipeClient& c) { return c.write_all(ascii_garbage) ? rest_of(c) : ""; }},
      {"drops-mid-reply",
       [refusal](PipeClient& c) {
         if (!c.write_all(refusal)) return std::string();
         std::array<char, 1024> buf;
         const auto n = c.read(buf);
         return std::string(buf.data(), n.value_or(0));
       }},
      {"drops-before-reply",
       [](PipeClient& c) {
         (void)c.write_all(STATUS);
         return std::string();
       }},
  };
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = ombrel::platform::program_arguments(argc, argv);
  if (args.size() != 3 && args.size() != 4) return 101;
  const auto all = behaviours();
  const auto found = all.find(args[1]);
  if (found == all.end()) return 102;
  const std::string& channel = args[0];
  const Behaviour& behave = found->second;

  if (args.size() == 3) {
    if (args[2] != "once") return 101;
    auto client = PipeClient::connect(channel, 60s);
    if (!client) return 1;
    ombrel::platform::write_stdout("connected\n");
    ombrel::platform::write_stdout(behave(*client));
    return 0;
  }

  const int clients = std::stoi(args[2]);
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(args[3]));
  std::atomic<int> sessions{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      while (std::chrono::steady_clock::now() < until) {
        auto client = PipeClient::connect(channel, 5s);
        if (!client) continue;
        ++sessions;
        (void)behave(*client);
      }
    });
  }
  for (auto& t : threads) t.join();
  ombrel::platform::write_stdout("sessions " + std::to_string(sessions.load()) + "\n");
  return 0;
}
