#include "host/runtime.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ombrel::host {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
namespace scm = platform::scm;

TEST(ControlHandler, AnswersEachControlAsTheSystemExpects) {
  const struct {
    std::uint32_t control;
    std::uint32_t answer;
    bool stops;
  } cases[] = {
      {scm::CONTROL_STOP, 0, true},
      {scm::CONTROL_SHUTDOWN, 0, true},
      {scm::CONTROL_INTERROGATE, 0, false},
      {scm::CONTROL_PAUSE, 120, false},
      {scm::CONTROL_CONTINUE, 120, false},
      {scm::CONTROL_PARAMCHANGE, 120, false},
      {0x40, 120, false},  // a power event nobody asked for
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control);
    auto [sender, receiver] = make_stop_signal();
    EXPECT_EQ(control_handler(c.control, 0, nullptr, &sender), c.answer);
    EXPECT_EQ(receiver.wait_for(0ms), c.stops);
  }
}

TEST(ControlHandler, AStopAfterTheWorkersEndedIsStillAnswered) {
  auto [sender, receiver] = make_stop_signal();
  { StopReceiver gone = std::move(receiver); }
  EXPECT_EQ(control_handler(scm::CONTROL_STOP, 0, nullptr, &sender), 0u);
}

// A record of what the workers did, in order, shared with threads that may
// outlive the test body (they are detached, as in the service).
struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  bool release = false;

  void add(std::string e) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(e));
    changed.notify_all();
  }
  // Blocks a thread until the test lets it go.
  void hold() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return release; });
  }
  void let_go() {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
  bool wait_for_count(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return events.size() >= n; });
  }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return events;
  }
};

// Stops and joins a service thread however the test body leaves, so that a
// failed assertion reports instead of ending the test program.
struct StopAndJoin {
  std::function<void()> stop;
  std::thread& thread;
  ~StopAndJoin() {
    if (!thread.joinable()) return;
    stop();
    thread.join();
  }
};

Workers fake_workers(const std::shared_ptr<Journal>& j, std::size_t orphans) {
  Workers w;
  w.cleanup_orphans = [j, orphans] {
    j->add("cleanup");
    return orphans;
  };
  // The threads stay busy until the end of the test: run_workers must not
  // wait for any of them.
  w.startup_update_check = [j] {
    j->add("update check");
    j->hold();
  };
  w.make_state = [j] {
    j->add("state");
    WorkerState s;
    s.serve_pipe = [j] {
      j->add("pipe server");
      j->hold();
    };
    s.watchdog = [j] {
      j->add("watchdog");
      j->hold();
    };
    s.on_service_stop = [j] { j->add("teardown"); };
    return s;
  };
  w.write_stderr = [j](std::string_view line) { j->add("stderr " + std::string(line)); };
  w.start_log = [j] { j->add("log"); };
  return w;
}

TEST(RunWorkers, StartsEverythingThenTearsDownOnStop) {
  const struct {
    std::size_t orphans;
    std::vector<std::string> before_threads;
  } cases[] = {
      {0, {"cleanup"}},
      {2, {"cleanup", "stderr добито осиротевших ядер: 2\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.orphans);
    auto journal = std::make_shared<Journal>();
    auto [sender, receiver] = make_stop_signal();
    std::thread service([&, w = fake_workers(journal, c.orphans)] { run_workers(receiver, w); });
    const StopAndJoin guard{[&] { sender.send(); }, service};

    // Three threads started; their order among themselves is the scheduler's.
    const std::size_t started = c.before_threads.size() + 4;
    ASSERT_TRUE(journal->wait_for_count(started));
    std::this_thread::sleep_for(20ms);
    std::vector<std::string> events = journal->snapshot();
    ASSERT_EQ(events.size(), started) << "nothing is torn down before the stop";
    const std::vector<std::string> head(events.begin(), events.begin() + c.before_threads.size());
    EXPECT_EQ(head, c.before_threads);
    // The state exists before the threads that share it.
    const auto state_at = std::find(events.begin(), events.end(), "state");
    const auto pipe_at = std::find(events.begin(), events.end(), "pipe server");
    const auto watchdog_at = std::find(events.begin(), events.end(), "watchdog");
    ASSERT_NE(state_at, events.end());
    EXPECT_LT(state_at, pipe_at);
    EXPECT_LT(state_at, watchdog_at);
    EXPECT_NE(std::find(events.begin(), events.end(), "update check"), events.end());

    sender.send();
    service.join();
    EXPECT_EQ(journal->snapshot().back(), "teardown");
    journal->let_go();
  }
}

struct FakeRegistration final : platform::ServiceRegistration {
  std::shared_ptr<Journal> journal;
  std::optional<Error> running_error, stopped_error;
  std::vector<platform::ServiceStatusReport>* reports;

  Result<void> report_status(const platform::ServiceStatusReport& r) override {
    reports->push_back(r);
    journal->add(r.current_state == scm::STATE_RUNNING ? "report running" : "report stopped");
    const auto& e = r.current_state == scm::STATE_RUNNING ? running_error : stopped_error;
    if (e) return fail(*e);
    return {};
  }
};

TEST(ServiceMain, ReportsRunningRunsTheWorkersAndReportsStoppedAfterTeardown) {
  auto journal = std::make_shared<Journal>();
  std::vector<platform::ServiceStatusReport> reports;
  platform::ControlHandlerFn handler = nullptr;
  void* context = nullptr;
  std::thread service([&] {
    run_service_main(
        [&](platform::ControlHandlerFn h,
            void* ctx) -> Result<std::unique_ptr<platform::ServiceRegistration>> {
          handler = h;
          context = ctx;
          auto r = std::make_unique<FakeRegistration>();
          r->journal = journal;
          r->reports = &reports;
          return r;
        },
        fake_workers(journal, 0));
  });
  const StopAndJoin guard{[&] {
                            if (handler != nullptr) handler(scm::CONTROL_STOP, 0, nullptr, context);
                          },
                          service};
  // report, log, the started line, cleanup, state, three threads
  ASSERT_TRUE(journal->wait_for_count(8));
  const auto first = journal->snapshot();
  // "running" at once: the log, which may wait on the disk, comes after.
  EXPECT_THAT(std::vector(first.begin(), first.begin() + 3),
              ElementsAre("report running", "log", "stderr служба запущена\n"));
  // The system's stop arrives through the registered handler.
  EXPECT_EQ(handler(scm::CONTROL_SHUTDOWN, 0, nullptr, context), 0u);
  service.join();
  const auto events = journal->snapshot();
  EXPECT_THAT(std::vector(events.end() - 3, events.end()),
              ElementsAre("teardown", "stderr служба остановлена\n", "report stopped"));
  EXPECT_THAT(reports, ElementsAre(platform::ServiceStatusReport{0x10, 4, 0x5, 0, 0, 0, 0},
                                   platform::ServiceStatusReport{0x10, 1, 0, 0, 0, 0, 0}));
  journal->let_go();
}

TEST(ServiceMain, FailuresEndTheServiceWithOneLine) {
  const struct {
    const char* name;
    bool register_fails;
    bool running_fails;
    bool stopped_fails;
    bool workers_run;
    std::vector<std::uint32_t> reported;
    const char* line;
  } cases[] = {
      {"register",
       true,
       false,
       false,
       false,
       {},
       "служба остановлена с ошибкой: не удалось зарегистрировать обработчик управления: "
       "os says no\n"},
      // The stopped report is still tried, so that the dispatcher can return.
      {"report running",
       false,
       true,
       false,
       false,
       {4, 1},
       "служба остановлена с ошибкой: os says no\n"},
      {"report stopped",
       false,
       false,
       true,
       true,
       {4, 1},
       "служба остановлена с ошибкой: os says no\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto journal = std::make_shared<Journal>();
    std::vector<platform::ServiceStatusReport> reports;
    const Workers workers = fake_workers(journal, 0);
    run_service_main(
        [&](platform::ControlHandlerFn h,
            void* ctx) -> Result<std::unique_ptr<platform::ServiceRegistration>> {
          if (c.register_fails) return fail(Error("os says no"));
          // A stop that is already waiting lets the workers run through.
          h(scm::CONTROL_STOP, 0, nullptr, ctx);
          auto r = std::make_unique<FakeRegistration>();
          r->journal = journal;
          r->reports = &reports;
          if (c.running_fails) r->running_error = Error("os says no");
          if (c.stopped_fails) r->stopped_error = Error("os says no");
          return r;
        },
        workers);
    const auto events = journal->snapshot();
    EXPECT_EQ(std::find(events.begin(), events.end(), "cleanup") != events.end(), c.workers_run);
    // The worker threads are detached and may still record their start after
    // the service main has returned; only the error line's place matters.
    std::string last_line;
    for (const auto& e : events) {
      if (e.starts_with("stderr ")) last_line = e;
    }
    EXPECT_EQ(last_line, std::string("stderr ") + c.line);
    // The log is open before the line, so that the line reaches it.
    EXPECT_LT(std::find(events.begin(), events.end(), "log"),
              std::find(events.begin(), events.end(), last_line));
    std::vector<std::uint32_t> reported;
    for (const auto& r : reports) reported.push_back(r.current_state);
    EXPECT_EQ(reported, c.reported);
    journal->let_go();
  }
}

}  // namespace
}  // namespace ombrel::host
