#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/text.hpp"
#include "control/pipe_server.hpp"
#include "event_recorder.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

namespace ombrel::control {
namespace {

using namespace std::chrono_literals;
using platform::PipeClient;
using testsupport::TempDir;
using testsupport::wait_until;

// A channel name nobody else uses: a socket in a fresh folder on Linux, a
// pipe name with a random part on Windows.
std::string unique_channel(const TempDir& dir) {
#ifdef _WIN32
  (void)dir;
  static std::atomic<int> counter{0};
  std::random_device rd;
  return "\\\\.\\pipe\\ombrel-test-" + std::to_string(rd()) + "-" + std::to_string(++counter);
#else
  return dir.file("ctl.sock");
#endif
}

// Records every line it is given; replies with `reply(line)`, after waiting
// at `gate` for lines that have one.
class FakeHandler final : public RequestHandler {
 public:
  std::function<Result<std::string>(const std::string&)> reply = [](const std::string& line) {
    return Result<std::string>("R:" + line + "\n");
  };
  std::function<void(const std::string&)> before_reply;
  std::function<void(const std::string&)> while_preparing;

  Perform prepare(std::string_view line) override {
    std::string copy(line);
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(copy);
    }
    if (while_preparing) while_preparing(copy);
    return [this, copy]() -> Result<std::string> {
      ++performed;
      if (before_reply) before_reply(copy);
      return reply(copy);
    };
  }

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::atomic<int> performed{0};  // requests carried out

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// What a client sends, and the line the handler is given for it.
struct Sent {
  const char* name;
  std::string sent;
  std::string line;
};

// serve_pipe on a thread of its own, stopped when dropped.
class Server {
 public:
  explicit Server(FakeHandler& handler, std::chrono::milliseconds timeout = 5s,
                  std::optional<std::string> name = std::nullopt,
                  std::chrono::milliseconds deadline = 10s, std::chrono::milliseconds penalty = 0ms,
                  std::mutex* exchange = nullptr, std::chrono::milliseconds repeat_window = 0ms)
      : name_(name ? *name : unique_channel(dir_)) {
    options_.pipe_name = name_;
    // Off unless asked for: most tests count the lines of each client.
    options_.repeat_window = repeat_window;
    options_.exchange_lock = exchange;
    // Off unless asked for: most tests stall and then ask from one process.
    options_.stall_penalty = penalty;
    options_.client_timeout = timeout;
    options_.request_deadline = deadline;
    options_.reply_deadline = deadline;
    options_.create_retry = 50ms;
    options_.diagnostics = [this](std::string_view line) {
      std::lock_guard lock(mutex_);
      diagnostics_.emplace_back(line);
    };
    thread_ = std::jthread(
        [this, &handler](std::stop_token stop) { serve_pipe(handler, options_, stop); });
  }
  ~Server() {
    thread_.request_stop();
    thread_.join();
  }

  const std::string& name() const { return name_; }
  std::vector<std::string> diagnostics() const {
    std::lock_guard lock(mutex_);
    return diagnostics_;
  }
  bool said(std::string_view line) const {
    for (const auto& d : diagnostics()) {
      if (d == line) return true;
    }
    return false;
  }
  // The one exchange of a well-behaved client: `bytes` as they are.
  Result<std::string> exchange(std::string_view bytes) const {
    auto client = PipeClient::connect(name_, 10s);
    if (!client) return fail(client.error());
    if (auto w = client->write_all(bytes); !w) return fail(w.error());
    return client->read_to_end();
  }

 private:
  TempDir dir_{"pipe"};
  std::string name_;
  PipeServerOptions options_;
  mutable std::mutex mutex_;
  std::vector<std::string> diagnostics_;
  std::jthread thread_;
};

TEST(PipeServer, RepliesPassThroughByteForByte) {
  const std::string big(300 * 1024, 'x');
  const std::vector<std::string> replies = {
      "{\"state\":\"disconnected\"}\n",
      "{\"state\":\"connected\",\"node\":\"Frankfurt 2\",\"proxy_port\":10809}\n",
      "{\"state\":\"error\",\"code\":\"no_nodes\",\"message\":\"список узлов пуст\"}\n",
      "{\"state\":\"updating\",\"version\":\"1.2.3\",\"tunnel_drops\":true}\n",
      // Larger than the pipe's buffers: written in pieces, and not cut off by
      // the disconnect that follows.
      "{\"state\":\"error\",\"code\":\"x\",\"message\":\"" + big + "\"}\n",
  };
  FakeHandler handler;
  std::size_t next = 0;
  handler.reply = [&](const std::string&) { return Result<std::string>(replies[next++]); };
  Server server(handler);
  for (const auto& expected : replies) {
    auto got = server.exchange("{\"cmd\":\"status\"}\n");
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(*got, expected);
  }
  EXPECT_TRUE(server.diagnostics().empty());
}

TEST(PipeServer, FramesOneRequestPerConnection) {
  const std::string limit(MAX_REQUEST_BYTES, 'a');
  const std::vector<Sent> cases = {
      {"line", "{\"cmd\":\"status\"}\n", "{\"cmd\":\"status\"}"},
      {"white space kept for the parser", "  {\"cmd\":\"status\"} \r\n",
       "  {\"cmd\":\"status\"} \r"},
      {"only the first line", "{\"a\":1}\n{\"b\":2}\nmore", "{\"a\":1}"},
      {"UTF-8 text", "{\"x\":\"Автовыбор\"}\n", "{\"x\":\"Автовыбор\"}"},
      {"empty line", "\n", ""},
      {"exactly the limit, no line feed", limit, limit},
      {"over the limit: cut there", limit + "bbbb\n", limit},
      {"line feed just past the limit", limit + "\n", limit},
  };
  FakeHandler handler;
  Server server(handler);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = handler.lines().size();
    auto got = server.exchange(c.sent);
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(*got, "R:" + c.line + "\n");
    const auto lines = handler.lines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), c.line);
  }
  EXPECT_TRUE(server.diagnostics().empty());
}

// A request whose client has closed its end by the time it is prepared is
// carried out all the same (the end of the stream ends the line); the reply
// that cannot reach it is said in the log, and the next client is served.
TEST(PipeServer, RequestOfAClientThatHasGoneIsCarriedOut) {
  const std::vector<Sent> cases = {
      {"nothing sent", "", ""},
      {"no line feed", "{\"cmd\":\"status\"}", "{\"cmd\":\"status\"}"},
      {"a whole line", "{\"cmd\":\"connect\"}\n", "{\"cmd\":\"connect\"}"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHandler handler;
    std::promise<void> closed;
    std::shared_future<void> gate = closed.get_future().share();
    handler.while_preparing = [gate](const std::string&) { gate.wait(); };
    Server server(handler);
    {
      auto client = PipeClient::connect(server.name(), 10s);
      ASSERT_TRUE(client) << client.error().to_string();
      if (!c.sent.empty()) {
        ASSERT_TRUE(client->write_all(c.sent));
      }
    }
    closed.set_value();
    ASSERT_TRUE(wait_until([&] { return !server.diagnostics().empty(); }, 10s));
    EXPECT_EQ(handler.lines(), std::vector<std::string>{c.line});
    EXPECT_EQ(handler.performed.load(), 1);
    const auto said = server.diagnostics();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_TRUE(said[0].starts_with("ответ не ушёл: не удалось отправить ответ: ")) << said[0];
    // The next client is served as usual.
    EXPECT_EQ(server.exchange("next\n").value_or("?"), "R:next\n");
  }
}

#ifndef _WIN32
// A client that only ended its sending half is still there: its request is
// carried out and answered. After a line that is not UTF-8, the end of the
// stream makes an empty request.
TEST(PipeServer, AClientThatEndedOnlyItsSendingHalfIsAnswered) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"cmd\":\"status\"}", "R:{\"cmd\":\"status\"}\n"},
      {"\xff\n", "R:\n"},
  };
  for (const auto& [sent, reply] : cases) {
    SCOPED_TRACE(sent);
    FakeHandler handler;
    Server server(handler);
    auto client = PipeClient::connect(server.name(), 10s);
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->write_all(sent));
    ASSERT_TRUE(client->end_sending());
    EXPECT_EQ(client->read_to_end().value_or("?"), reply);
  }
}
#endif

// After a line that is not UTF-8 the same client is read further, from the
// byte after that line's feed, whether its next line came in the same write
// or a later one. The first such line is said at once, the rest of that
// client's in one line with their count.
TEST(PipeServer, InvalidUtf8GetsNoReplyAndTheClientIsReadFurther) {
  struct Case {
    const char* name;
    std::vector<std::string> writes;
    std::size_t more;  // bad lines after the first
  };
  std::string flood;
  for (int i = 0; i < 2000; ++i) flood += "\xff\n";
  const std::vector<Case> cases = {
      {"next line in a later write", {"{\"cmd\":\"\xff\xfe\"}\n", "{\"cmd\":\"status\"}\n"}, 0},
      {"next line in the same write", {"\xff\n{\"cmd\":\"status\"}\n"}, 0},
      {"two bad lines, then a good one, at once",
       {"\xff\n\xc0\xaf\n{\"cmd\":\"status\"}\nrest"},
       1},
      {"a flood of bad lines, then a good one", {flood, "{\"cmd\":\"status\"}\n"}, 1999},
  };
  const std::string refused =
      "соединение не обслужено: не удалось прочитать сообщение канала: запрос не в кодировке "
      "UTF-8";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHandler handler;
    Server server(handler, 1s);
    auto client = PipeClient::connect(server.name(), 10s);
    ASSERT_TRUE(client);
    for (const auto& bytes : c.writes) {
      ASSERT_TRUE(client->write_all(bytes));
      if (c.writes.size() > 1 && server.diagnostics().empty()) {
        ASSERT_TRUE(wait_until([&] { return !server.diagnostics().empty(); }, 10s));
      }
    }
    EXPECT_EQ(client->read_to_end().value_or("?"), "R:{\"cmd\":\"status\"}\n");
    EXPECT_EQ(handler.lines(), std::vector<std::string>{"{\"cmd\":\"status\"}"});
    std::vector<std::string> said = {refused};
    if (c.more > 0) {
      said.push_back(
          "соединение не обслужено: ещё строк не в кодировке UTF-8 от того же клиента: " +
          std::to_string(c.more));
    }
    EXPECT_EQ(server.diagnostics(), said);
  }
}

// A flood of connections from one user, each a line that is not UTF-8 and
// gone: each line said about them (the refusal, the reply that did not go
// out) is said once a window, and its repeats in one line when it is over.
TEST(PipeServer, RepeatedLinesOfOneUserAreSaidOnceAWindowWithTheirCount) {
  FakeHandler handler;
  Server server(handler, 5s, std::nullopt, 10s, 0ms, nullptr, 1s);
  const auto flood = [&](std::size_t connections) {
    for (std::size_t i = 0; i < connections; ++i) {
      auto client = PipeClient::connect(server.name(), 10s);
      ASSERT_TRUE(client);
      ASSERT_TRUE(client->write_all("\xff\n"));
    }
  };
  flood(50);
  ASSERT_TRUE(wait_until([&] { return handler.lines().size() == 50; }, 30s));
  std::this_thread::sleep_for(1100ms);
  flood(1);
  ASSERT_TRUE(wait_until([&] { return handler.lines().size() == 51; }, 30s));
  (void)server.exchange("{}\n");  // by its reply, all of the last one is said
  const std::vector<std::string> said = server.diagnostics();
  const std::string refused =
      "соединение не обслужено: не удалось прочитать сообщение канала: запрос не в кодировке "
      "UTF-8";
  const auto times = [&](const std::string& line) { return std::ranges::count(said, line); };
  EXPECT_EQ(times(refused), 2) << testing::PrintToString(said);
  std::size_t counts = 0;
  for (const auto& line : said) {
    EXPECT_LE(times(line), 2) << line;
    if (!line.starts_with("повторено ещё 49 раз за минуту, клиент ")) continue;
    ++counts;
    EXPECT_EQ(line.find("клиент неизвестен"), std::string::npos) << line;
  }
  // The refusal's, and the reply's where the system tells that it was lost.
  EXPECT_GE(counts, 1u) << testing::PrintToString(said);
  EXPECT_TRUE(std::ranges::any_of(said, [&](const std::string& line) {
    return line.starts_with("повторено ещё 49 раз") && line.ends_with(": " + refused);
  }));
}

// A client waits while the channel is held: by the client before it (queued
// behind it on Linux, retrying the busy pipe on Windows), or by whoever holds
// the exchange lock between two clients. Its time starts when it is taken
// up, not when it connected: waiting longer than the whole deadline, it is
// still served. The lock is the server's while it serves a client, and let
// go once that client is disconnected.
TEST(PipeServer, AClientWaitsWhileTheChannelIsHeld) {
  using Gate = std::function<void(const std::string& line)>;
  struct Case {
    const char* name;
    // Takes the channel, `gate` being called before each reply; what it
    // returns lets the channel go again.
    std::function<std::function<void()>(const Server&, FakeHandler&, Gate& gate,
                                        std::mutex& exchange)>
        hold;
    std::vector<std::string> lines;  // given to the handler in all
  };
  const Case cases[] = {
      {"by the client before it",
       [](const Server& server, FakeHandler& handler, Gate& gate,
          std::mutex&) -> std::function<void()> {
         auto release = std::make_shared<std::promise<void>>();
         gate = [released = release->get_future().share()](const std::string& line) {
           if (line == "first") released.wait();
         };
         auto first = std::make_shared<Result<PipeClient>>(PipeClient::connect(server.name(), 10s));
         EXPECT_TRUE(*first && (*first)->write_all("first\n"));
         EXPECT_TRUE(wait_until([&] { return handler.lines().size() == 1; }, 10s));
         return [release, first] {
           release->set_value();
           if (*first) {
             EXPECT_EQ((*first)->read_to_end().value_or("?"), "R:first\n");
           }
         };
       },
       {"first", "second"}},
      {"by the exchange lock",
       [](const Server&, FakeHandler&, Gate&, std::mutex& exchange) -> std::function<void()> {
         exchange.lock();
         return [&exchange] { exchange.unlock(); };
       },
       {"second"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex exchange;
    // Asked from another thread: the server's own may not try a lock it holds.
    const auto lock_free = [&] {
      return std::async(std::launch::async,
                        [&] {
                          if (!exchange.try_lock()) return false;
                          exchange.unlock();
                          return true;
                        })
          .get();
    };
    FakeHandler handler;
    Gate gate;
    std::atomic<bool> held_while_serving{true};
    handler.before_reply = [&](const std::string& line) {
      held_while_serving = held_while_serving && !lock_free();
      if (gate) gate(line);
    };
    Server server(handler, 1s, std::nullopt, 1s, 0ms, &exchange);
    const auto let_go = c.hold(server, handler, gate, exchange);
    auto second = std::async(std::launch::async, [&]() -> std::string {
      auto client = PipeClient::connect(server.name(), 20s);
      if (!client) return "no connection";
      std::this_thread::sleep_for(300ms);
      if (!client->write_all("second\n")) return "not sent";
      return client->read_to_end().value_or("?");
    });
    EXPECT_EQ(second.wait_for(1500ms), std::future_status::timeout);
    EXPECT_EQ(handler.lines().size(), c.lines.size() - 1);
    let_go();
    EXPECT_EQ(second.get(), "R:second\n");
    EXPECT_EQ(handler.lines(), c.lines);
    EXPECT_TRUE(held_while_serving);
    EXPECT_TRUE(wait_until(lock_free));
    EXPECT_TRUE(server.diagnostics().empty()) << ::testing::PrintToString(server.diagnostics());
  }
}

// A process dropped for stalling that reconnects at once is turned away
// without being read, so the channel goes to the next client instead of
// being held again for the whole time-out.
TEST(PipeServer, ClientDroppedForStallingIsRefusedWhenItReconnectsAtOnce) {
  const std::string dropped =
      "соединение не обслужено: не удалось прочитать сообщение канала: клиент не присылал "
      "данных 1 с и отключён";
  const std::string refused = "соединение отклонено: клиент недавно отключён за задержку";
  FakeHandler handler;
  Server server(handler, 1s, std::nullopt, 10s, 30s);
  platform::SpawnOptions options;
  options.program =
      platform::join_path(testsupport::bin_dir(), testsupport::exe_name("standin-hostile"));
  options.args = {server.name(), "stalls", "1", "6000"};
  options.std_in = options.std_out = options.std_err = platform::Stdio::Null;
  auto staller = platform::spawn(options);
  ASSERT_TRUE(staller) << staller.error().to_string();
  ASSERT_TRUE(wait_until([&] { return server.said(refused); }, 20s))
      << ::testing::PrintToString(server.diagnostics());

  // Every exchange now gets the channel at once: the staller never holds it
  // again for its second of silence.
  const auto until = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < until) {
    const auto start = std::chrono::steady_clock::now();
    auto got = server.exchange("good\n");
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(*got, "R:good\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
  }
  (void)staller->terminate(1);
  (void)staller->wait();
  const auto said = server.diagnostics();
  EXPECT_EQ(std::count(said.begin(), said.end(), dropped), 1) << ::testing::PrintToString(said);
  // Said once, however often it came back.
  EXPECT_EQ(std::count(said.begin(), said.end(), refused), 1);
  for (const auto& line : said) {
    EXPECT_TRUE(line == dropped || line == refused) << line;
  }
}

// A stuck client is dropped once its time runs out, said in the log, and
// the channel is free again. Only a client dropped because its time ran out
// bars its process. One that breaks the framing but is answered at once, or
// that goes away, does not: the desktop itself may send a bad request now
// and then. Each client here is of this very process, so the exchange after
// it tells whether the process was barred.
TEST(PipeServer, OnlyAClientDroppedForItsTimeBarsItsProcess) {
  const std::string limit(MAX_REQUEST_BYTES, 'a');
  const std::string silent =
      "соединение не обслужено: не удалось прочитать сообщение канала: клиент не присылал "
      "данных 1 с и отключён";
  struct Case {
    const char* name;
    // Acts on the connection; may drop it. Whatever is left open stays so
    // until the next exchange is over.
    std::function<void(std::optional<PipeClient>&, const Server&)> act;
    bool barred;
    std::string said = {};  // a line the log must hold
  };
  const auto sends = [](std::string bytes, bool then_close) {
    return [bytes, then_close](std::optional<PipeClient>& c, const Server&) {
      ASSERT_TRUE(c->write_all(bytes));
      if (then_close) c.reset();
    };
  };
  const std::vector<Case> cases = {
      {"connects and sends nothing", [](std::optional<PipeClient>&, const Server&) {}, true,
       silent},
      {"never ends its line", sends("{\"cmd\":\"sta", false), true, silent},
      {"a line that is not UTF-8, then silence", sends("{\"cmd\":\"\xff\xfe\"}\n", false), true,
       silent},
      {"never reads a large reply", sends("big\n", false), true,
       "ответ не ушёл: не удалось отправить ответ: клиент не принимал ответ 1 с и отключён"},
#ifdef _WIN32
      // The reply fits the pipe's buffer, but the flush before the
      // disconnect waits for the client to read it.
      {"never reads a small reply", sends("small\n", false), true,
       "ответ не дочитан: клиент не дочитывал ответ 1 с и отключён"},
#else
      // A Unix socket keeps the reply for the client after the server closes:
      // nothing to wait for.
      {"never reads a small reply", sends("small\n", false), false},
#endif
      {"closes without sending", [](std::optional<PipeClient>& c, const Server&) { c.reset(); },
       false},
      {"closes before its reply", sends("x\n", true), false},
      {"a line that is not UTF-8, then closes", sends("\xc0\xaf\n", true), false},
      {"a line that is not UTF-8, then a good one",
       [](std::optional<PipeClient>& c, const Server& server) {
         ASSERT_TRUE(c->write_all("\xc0\xaf\n"));
         ASSERT_TRUE(wait_until([&] { return !server.diagnostics().empty(); }, 10s));
         ASSERT_TRUE(c->write_all("fine\n"));
         EXPECT_EQ(c->read_to_end().value_or("?"), "R:fine\n");
       },
       false},
      {"a line over the limit, reply read",
       [&limit](std::optional<PipeClient>& c, const Server&) {
         ASSERT_TRUE(c->write_all(limit + "bbbb\n"));
         EXPECT_EQ(c->read_to_end().value_or("?").size(), limit.size() + 3);
       },
       false},
  };
  const std::string refused = "соединение отклонено: клиент недавно отключён за задержку";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHandler handler;
    handler.reply = [](const std::string& line) {
      if (line == "big") return Result<std::string>(std::string(4 << 20, 'r'));
      if (line == "small") return Result<std::string>(std::string(100, 'r'));
      return Result<std::string>("R:" + line + "\n");
    };
    Server server(handler, 1s, std::nullopt, 10s, 30s);
    std::optional<PipeClient> client;
    {
      auto connected = PipeClient::connect(server.name(), 10s);
      ASSERT_TRUE(connected) << connected.error().to_string();
      client.emplace(std::move(*connected));
    }
    c.act(client, server);
    // Served only once the client before it is done with; a refusal reads
    // nothing, so the request may not even be taken.
    const auto start = std::chrono::steady_clock::now();
    const auto got = server.exchange("good\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    client.reset();
    if (!c.said.empty()) {
      EXPECT_TRUE(server.said(c.said)) << ::testing::PrintToString(server.diagnostics());
    }
    if (c.barred) {
      EXPECT_EQ(got.value_or(""), "");
      EXPECT_TRUE(server.said(refused)) << ::testing::PrintToString(server.diagnostics());
    } else {
      EXPECT_EQ(got.value_or("?"), "R:good\n");
      EXPECT_FALSE(server.said(refused)) << ::testing::PrintToString(server.diagnostics());
    }
  }
}

// The bar lifts when its time is over.
TEST(PipeServer, BarredProcessIsServedAgainOnceItsTimeIsOver) {
  using std::chrono::steady_clock;
  FakeHandler handler;
  Server server(handler, 300ms, std::nullopt, 10s, 2s);
  {
    auto stuck = PipeClient::connect(server.name(), 10s);
    ASSERT_TRUE(stuck);
    EXPECT_EQ(stuck->read_to_end().value_or("?"), "");
  }
  const auto dropped = steady_clock::now();
  EXPECT_EQ(server.exchange("early\n").value_or(""), "");
  ASSERT_TRUE(
      wait_until([&] { return server.exchange("late\n").value_or("") == "R:late\n"; }, 10s));
  const auto barred_for = steady_clock::now() - dropped;
  EXPECT_GE(barred_for, 1900ms);
  EXPECT_LT(barred_for, 6s);
  EXPECT_EQ(handler.lines(), std::vector<std::string>{"late"});
}

// Clients that keep making a little progress: never stalled long enough to
// be dropped for it, so only the deadline of the whole request or reply ends
// them, and the channel is free again soon after it. One that reads a large
// reply steadily, a little at a time, within the deadline, makes progress in
// every time-out however slowly the channel shows it: it gets the whole reply.
TEST(PipeServer, TricklingClientIsDroppedAtItsDeadline) {
  using std::chrono::steady_clock;
  const std::string not_sent =
      "соединение не обслужено: не удалось прочитать сообщение канала: клиент не прислал "
      "запрос за 2 с и отключён";
  const std::string not_taken =
      "ответ не ушёл: не удалось отправить ответ: клиент не принял ответ за 2 с и отключён";
  struct Case {
    const char* name;
    std::chrono::milliseconds deadline;
    std::size_t reply_size;  // of the reply to "big"
    // What the client does on its connection until the server drops it or
    // the reply has ended; `reply_came` is called when the first of a reply
    // arrives.
    std::function<void(PipeClient&, const std::function<void()>& reply_came)> behave;
    std::string diagnostic;  // the last one; empty: served, nothing said
  };
  const auto trickles = [](std::string bytes, std::chrono::milliseconds pause) {
    return [bytes, pause](PipeClient& c, const std::function<void()>&) {
      for (int i = 0; i < 100 && c.write_all(bytes); ++i) std::this_thread::sleep_for(pause);
    };
  };
  // Reads "big"'s reply in `piece`s, `pause` apart; expects `whole` bytes
  // (0: dropped before).
  const auto reads = [](std::size_t piece, std::chrono::milliseconds pause, std::size_t whole) {
    return [=](PipeClient& c, const std::function<void()>& reply_came) {
      if (!c.write_all("big\n")) return;
      std::vector<char> buf(piece);
      std::size_t got = 0;
      for (int i = 0; i < 200; ++i) {
        auto n = c.read(buf);
        if (!n || *n == 0) break;
        if (i == 0) reply_came();
        got += *n;
        std::this_thread::sleep_for(pause);
      }
      if (whole != 0) {
        EXPECT_EQ(got, whole);
      }
    };
  };
  // About 53 KB a second: a 64 KiB piece would take longer than the
  // time-out to be taken up, and so would draining a full socket's buffer.
  const std::size_t steady = 255 * 1024;
  const std::vector<Case> cases = {
      {"one byte of its request at a time", 2s, 0, trickles("{", 300ms), not_sent},
      {"line after line that is not UTF-8", 2s, 0, trickles("\xff\xfe\n", 100ms), not_sent},
      {"a large reply taken up slowly", 2s, 16 << 20, reads(64 * 1024, 100ms, 0), not_taken},
      {"a large reply read steadily in time", 10s, steady, reads(8192, 150ms, steady), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHandler handler;
    handler.reply = [&c](const std::string& line) {
      return Result<std::string>(line == "big" ? std::string(c.reply_size, 'r')
                                               : "R:" + line + "\n");
    };
    Server server(handler, 1s, std::nullopt, c.deadline);
    auto client = PipeClient::connect(server.name(), 10s);
    ASSERT_TRUE(client);
    const auto start = steady_clock::now();
    // The reply's deadline runs from when the server starts sending it, which
    // is after the connection and before the first of it arrives: making a
    // 16 MiB reply takes seconds of its own on a loaded machine under
    // ThreadSanitizer.
    std::atomic<steady_clock::rep> latest_start{start.time_since_epoch().count()};
    std::jthread slow([&] {
      c.behave(*client, [&] { latest_start = steady_clock::now().time_since_epoch().count(); });
    });
    if (c.diagnostic.empty()) {
      slow.join();
      EXPECT_TRUE(server.diagnostics().empty()) << testing::PrintToString(server.diagnostics());
      continue;
    }
    ASSERT_TRUE(wait_until([&] { return server.said(c.diagnostic); }, 20s));
    const auto now = steady_clock::now();
    EXPECT_GE(now - start, c.deadline - 100ms);
    EXPECT_LT(now - steady_clock::time_point(steady_clock::duration(latest_start.load())),
              c.deadline + 2s);
    // Nobody waits on the trickler any more.
    EXPECT_EQ(server.exchange("good\n").value_or("?"), "R:good\n");
    slow.join();
  }
}

TEST(PipeServer, HandlerFailuresAreReportedAndServingGoesOn) {
  FakeHandler handler;
  handler.reply = [](const std::string& line) -> Result<std::string> {
    if (line == "throw") throw std::runtime_error("boom");
    if (line == "unserialisable") return fail("bad value");
    return "R:" + line + "\n";
  };
  Server server(handler);
  EXPECT_EQ(server.exchange("throw\n").value_or("?"), "");
  EXPECT_EQ(server.exchange("unserialisable\n").value_or("?"), "");
  EXPECT_EQ(server.exchange("fine\n").value_or("?"), "R:fine\n");
  EXPECT_EQ(server.diagnostics(),
            (std::vector<std::string>{"запрос не обработан: boom",
                                      "ответ не ушёл: ответ не сериализуется: bad value"}));
}

TEST(PipeServer, RetriesUntilThePipeCanBeCreated) {
  TempDir dir("pipe");
  const std::string name = unique_channel(dir);
  // Said escaped: a pipe's name holds backslashes.
  const std::string outer = "канал не создан: не удалось создать канал " + escape_controls(name);
  // The one instance is taken by another server (of this process) until
  // `squatter` is dropped: it is named once, not at every attempt.
  auto squatter = std::make_optional(platform::create_pipe(name));
  ASSERT_TRUE(*squatter);
  FakeHandler handler;
  testsupport::EventRecorder events;
  {
    Server server(handler, 5s, name);
    ASSERT_TRUE(wait_until([&] { return server.diagnostics().size() >= 1; }, 10s));
    std::this_thread::sleep_for(500ms);  // ten more attempts
    const auto said = server.diagnostics();
    ASSERT_EQ(said.size(), 1u) << testing::PrintToString(said);
    EXPECT_TRUE(said[0].starts_with(outer)) << said[0];
    const std::string holder =
        ": канал держит процесс " + std::to_string(platform::current_process_id()) + " (";
    EXPECT_NE(said[0].find(holder), std::string::npos) << said[0];
    EXPECT_TRUE(said[0].ends_with(")")) << said[0];
    EXPECT_EQ(
        events.events(),
        (std::vector<testsupport::ReportedEvent>{{platform::EventKind::PipeHeld, 8, said[0]}}));
    squatter.reset();
    EXPECT_EQ(server.exchange("hello\n").value_or("?"), "R:hello\n");
  }
#ifndef _WIN32
  // Nobody holds it: the socket's folder cannot be made while a file stands
  // in its place; said at every attempt.
  const std::string blocker = dir.file("blocker");
  std::ofstream(testsupport::fs_path(blocker)) << "x";
  const std::string blocked = blocker + "/ctl.sock";
  Server server(handler, 5s, blocked);
  ASSERT_TRUE(wait_until([&] { return server.diagnostics().size() >= 2; }, 10s));
  for (const auto& line : server.diagnostics()) {
    EXPECT_TRUE(line.starts_with("канал не создан: не удалось создать канал " + blocked)) << line;
  }
  std::filesystem::remove(testsupport::fs_path(blocker));
  EXPECT_EQ(server.exchange("hello\n").value_or("?"), "R:hello\n");
#endif
}

}  // namespace
}  // namespace ombrel::control
