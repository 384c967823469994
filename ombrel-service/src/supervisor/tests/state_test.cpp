#include "supervisor/state.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "core_folders.hpp"
#include "fake_clock.hpp"
#include "watchdog_thread.hpp"

namespace ombrel::supervisor {

void PrintTo(const ViewConnected& v, std::ostream* os) {
  *os << "connected(" << v.node << ", " << (v.proxy_port ? std::to_string(*v.proxy_port) : "-")
      << ")";
}
void PrintTo(const ViewConnecting&, std::ostream* os) {
  *os << "connecting";
}
void PrintTo(const ViewError& v, std::ostream* os) {
  *os << "error(" << v.message << ")";
}
void PrintTo(const ViewDisconnected&, std::ostream* os) {
  *os << "disconnected";
}

namespace {

using namespace ombrel::supervisor::testing;
using Ms = std::chrono::milliseconds;

// Every start the state asks for, with what the test decides it yields.
class Starter {
 public:
  using Behaviour = std::function<Result<RunningCores>(const CoreLaunch&)>;
  explicit Starter(Behaviour behaviour) : behaviour_(std::move(behaviour)) {}

  StartCoresFn fn() {
    return [this](const CoreLaunch& launch) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        labels_.push_back(launch.display_label);
        times_.push_back(std::chrono::steady_clock::now());
      }
      return behaviour_(launch);
    };
  }
  std::vector<std::string> labels() {
    std::lock_guard<std::mutex> guard(mutex_);
    return labels_;
  }
  std::vector<Ms> gaps() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Ms> out;
    for (std::size_t i = 1; i < times_.size(); ++i) {
      out.push_back(std::chrono::duration_cast<Ms>(times_[i] - times_[i - 1]));
    }
    return out;
  }
  std::size_t count() { return labels().size(); }

 private:
  Behaviour behaviour_;
  std::mutex mutex_;
  std::vector<std::string> labels_;
  std::vector<std::chrono::steady_clock::time_point> times_;
};

// A handle whose cores are already gone: with no process behind it, the
// proxy core cannot be polled, which counts as lost.
Result<RunningCores> lost_cores(const CoreLaunch& launch) {
  RunningCores cores;
  cores.display_label = launch.display_label;
  cores.channel_labels = launch.channel_labels;
  cores.channel_remarks = launch.channel_remarks;
  cores.current_channel = serving::make_current_channel();
  cores.proxy_port = launch.proxy_port;
  cores.started_at = std::chrono::steady_clock::now();
  return cores;
}

// Reads the state under its lock.
template <class F>
auto with_lock(SharedState& shared, F f) {
  auto lock = shared.lock();
  return f(shared.state());
}

StateView status(SharedState& shared) {
  auto lock = shared.lock();
  return on_status(shared);
}

StateView connect(SharedState& shared, const CoreLaunch& launch) {
  auto lock = shared.lock();
  return on_connect(shared, launch);
}

constexpr WatchdogTiming FAST{Ms(5), Ms(3'600'000), Ms(40)};
const std::string GIVE_UP(GIVE_UP_MESSAGE);

TEST(RestartDelay, DoublesUpToEightUnits) {
  const std::pair<std::uint32_t, long> cases[] = {{0, 1}, {1, 2},  {2, 4},  {3, 8},
                                                  {4, 8}, {31, 8}, {32, 8}, {UINT32_MAX, 8}};
  for (const auto& [step, units] : cases) {
    EXPECT_EQ(restart_delay(step, Ms(1000)), Ms(1000 * units)) << step;
  }
}

TEST(Watchdog, RestartsWithGrowingDelaysThenGivesUp) {
  struct Case {
    const char* name;
    bool restarts_fail;  // else they succeed and the cores die at once
  };
  for (const Case c : {Case{"cores die at once", false}, Case{"restarts fail", true}}) {
    SCOPED_TRACE(c.name);
    std::atomic<int> calls{0};
    Starter starter([&](const CoreLaunch& launch) -> Result<RunningCores> {
      // The connect succeeds; only the restarts may fail.
      if (c.restarts_fail && calls++ > 0) return fail("не вышло");
      return lost_cores(launch);
    });
    SharedState shared(starter.fn());
    EXPECT_EQ(connect(shared, proxy_launch("restart")), StateView(ViewConnected{"restart", 10808}));
    Watchdog watchdog(shared, FAST);

    if (c.restarts_fail) {
      // Between failed restarts the state is connecting, with the last error.
      EXPECT_TRUE(wait_until([&] {
        return with_lock(shared, [](ServiceState& s) { return s.last_error.has_value(); });
      }));
      auto lock = shared.lock();
      EXPECT_EQ(shared.state().last_error, "не вышло");
      EXPECT_EQ(on_status(shared), StateView(ViewConnecting{}));
    }
    EXPECT_TRUE(wait_until(
        [&] { return with_lock(shared, [](ServiceState& s) { return !s.desired.has_value(); }); }));
    EXPECT_EQ(status(shared), StateView(ViewError{GIVE_UP}));
    with_lock(shared, [](ServiceState& s) {
      EXPECT_EQ(s.restart_attempts, 0u);
      EXPECT_EQ(s.backoff_step, 0u);
      EXPECT_FALSE(s.cores);
    });
    // The connect and three restarts, each after the tick and 1, 2, 4 units.
    const auto gaps = starter.gaps();
    ASSERT_EQ(gaps.size(), 3u);
    EXPECT_GE(gaps[0], Ms(40));
    EXPECT_GE(gaps[1], Ms(80));
    EXPECT_GE(gaps[2], Ms(160));
    std::this_thread::sleep_for(Ms(200));
    EXPECT_EQ(starter.count(), 4u);

    // A disconnect clears the error.
    {
      auto lock = shared.lock();
      on_disconnect(shared);
      EXPECT_EQ(on_status(shared), StateView(ViewDisconnected{}));
    }
  }
}

TEST(Watchdog, AStableRunResetsTheCountersAndTheNextLossCountsAsTheFirst) {
  CoreFolders f;
  testsupport::FakeClock clock;
  Starter starter([&](const CoreLaunch& launch) -> Result<RunningCores> {
    auto cores = start_cores(launch, f.env());
    if (cores) cores->started_at = clock.monotonic();
    return cores;
  });
  SharedState shared(starter.fn());
  ASSERT_TRUE(std::holds_alternative<ViewConnected>(connect(shared, proxy_launch())));
  with_lock(shared, [](ServiceState& s) {
    s.backoff_step = 2;
    s.restart_attempts = 2;
    s.last_error = "старая ошибка";
  });
  Watchdog watchdog(shared, WatchdogTiming{Ms(5), Ms(30'000), Ms(40)}, clock);

  clock.advance_ms(29'999);
  std::this_thread::sleep_for(Ms(100));
  EXPECT_EQ(with_lock(shared, [](ServiceState& s) { return s.restart_attempts; }), 2u);
  clock.advance_ms(1);
  EXPECT_TRUE(wait_until([&] {
    return with_lock(shared, [](ServiceState& s) {
      return s.restart_attempts == 0 && s.backoff_step == 0 && !s.last_error;
    });
  }));

  // The proxy core exits: one restart after a single unit, attempt 1.
  with_lock(shared, [](ServiceState& s) { (void)s.cores->xray.terminate(1); });
  EXPECT_TRUE(wait_until([&] { return starter.count() == 2; }));
  with_lock(shared, [](ServiceState& s) {
    EXPECT_TRUE(s.cores);
    EXPECT_EQ(s.restart_attempts, 1u);
    EXPECT_EQ(s.backoff_step, 1u);
  });
}

// Requests that arrive while the watchdog waits out a restart delay decide
// what happens after it.
TEST(Watchdog, RequestsDuringARestartDelay) {
  struct Case {
    const char* name;
    // What the user does during the delay; returns the status expected after.
    std::function<StateView(SharedState&)> request;
    std::vector<std::string> starts;  // labels of all starts, in order
  };
  CoreFolders f;
  const WatchdogTiming slow{Ms(5), Ms(3'600'000), Ms(300)};
  const Case cases[] = {
      {"disconnect",
       [](SharedState& s) {
         auto lock = s.lock();
         on_disconnect(s);
         return StateView(ViewDisconnected{});
       },
       {"old"}},
      {"connect that fails",
       [](SharedState& s) {
         auto lock = s.lock();
         EXPECT_EQ(on_connect(s, proxy_launch("fails")), StateView(ViewError{"нет ядра"}));
         return StateView(ViewError{"нет ядра"});
       },
       {"old", "fails"}},
      {"connect that succeeds",
       [](SharedState& s) {
         auto lock = s.lock();
         EXPECT_EQ(on_connect(s, proxy_launch("runs")), StateView(ViewConnected{"runs", 10808}));
         return StateView(ViewConnected{"runs", 10808});
       },
       {"old", "runs"}},
      // Its cores are lost too, and a status drops them before the delay
      // ends: the watchdog must not bring back the old nodes.
      {"connect to other nodes that are lost at once",
       [](SharedState& s) {
         auto lock = s.lock();
         EXPECT_EQ(on_connect(s, proxy_launch("other")), StateView(ViewConnected{"other", 10808}));
         EXPECT_EQ(on_status(s), StateView(ViewConnecting{}));
         return StateView(ViewConnecting{});
       },
       {"old", "other"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Starter starter([&](const CoreLaunch& launch) -> Result<RunningCores> {
      if (launch.display_label == "fails") return fail("нет ядра");
      if (launch.display_label == "runs") return start_cores(launch, f.env());
      return lost_cores(launch);
    });
    SharedState shared(starter.fn());
    connect(shared, proxy_launch("old"));
    Watchdog watchdog(shared, slow);
    // The watchdog dropped the lost cores and sleeps before restart 1.
    ASSERT_TRUE(wait_until([&] {
      return with_lock(shared, [](ServiceState& s) { return !s.cores && s.backoff_step == 1; });
    }));
    const StateView expected = c.request(shared);
    std::this_thread::sleep_for(Ms(450));
    auto lock = shared.lock();
    const auto labels = starter.labels();
    ASSERT_GE(labels.size(), c.starts.size());
    // The lost other nodes are restarted in their turn, never the old ones.
    for (std::size_t i = c.starts.size(); i < labels.size(); ++i) EXPECT_EQ(labels[i], "other");
    EXPECT_EQ(std::vector<std::string>(labels.begin(), labels.begin() + c.starts.size()), c.starts);
    if (c.starts.back() != "other") {
      EXPECT_EQ(labels.size(), c.starts.size());
      EXPECT_EQ(on_status(shared), expected);
    }
  }
}

TEST(State, FailedConnectKeepsItsErrorUntilTheNextRequest) {
  struct Case {
    const char* name;
    Starter::Behaviour start;
    std::string message;
  };
  const Case cases[] = {
      {"error",
       [](const CoreLaunch&) -> Result<RunningCores> {
         return fail(Error("отказано").wrapped("не удалось запустить C:\\x\\xray.exe"));
       },
       "не удалось запустить C:\\x\\xray.exe: отказано"},
      {"exception",
       [](const CoreLaunch&) -> Result<RunningCores> { throw std::runtime_error("boom"); },
       "сбой при запуске ядер: boom"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SharedState shared(c.start);
    EXPECT_EQ(connect(shared, proxy_launch()), StateView(ViewError{c.message}));
    EXPECT_EQ(status(shared), StateView(ViewError{c.message}));
    with_lock(shared, [](ServiceState& s) {
      EXPECT_FALSE(s.desired);
      EXPECT_FALSE(s.cores);
    });
    auto lock = shared.lock();
    on_disconnect(shared);
    EXPECT_EQ(on_status(shared), StateView(ViewDisconnected{}));
  }
}

// A status that finds a core gone drops the set itself: the other core is
// ended and reaped, and the service is connecting again.
TEST(State, StatusDropsCoresOneOfWhichHasExited) {
  for (const bool proxy_exits : {true, false}) {
    SCOPED_TRACE(proxy_exits ? "proxy core exits" : "tunnel core exits");
    CoreFolders f;
    const std::string flag = f.data_file("end-now");
    set_script(proxy_exits ? f.install.xray : f.install.sing_box, "waitfor " + flag + "\nexit 3\n");
    SharedState shared([&](const CoreLaunch& launch) { return start_cores(launch, f.env()); });
    ASSERT_EQ(connect(shared, tunnel_launch()),
              StateView(ViewConnected{"Нидерланды", std::nullopt}));
    const auto pids = with_lock(shared, [](ServiceState& s) { return pids_of(*s.cores); });
    EXPECT_EQ(status(shared), StateView(ViewConnected{"Нидерланды", std::nullopt}));

    std::ofstream(fs_path(flag)) << "1";
    EXPECT_TRUE(wait_until([&] { return status(shared) == StateView(ViewConnecting{}); }));
    with_lock(shared, [](ServiceState& s) {
      EXPECT_FALSE(s.cores);
      EXPECT_TRUE(s.desired);
    });
    EXPECT_TRUE(all_gone(pids));
  }
}

// The node shown and the node the registry hears of follow the channel in
// use, by short label and by whole remark; a channel the labels do not
// cover falls back to the display label and tells the registry nothing.
TEST(State, ChannelInUseNamesTheNode) {
  struct Case {
    int channel;
    std::string node;
    std::vector<std::string> seen;
  };
  const Case cases[] = {
      {1, "Финляндия", {"Финляндия app_fi2"}},
      {0, "Германия", {"Германия app_de1"}},
      {7, "Нидерланды", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    CoreFolders f;
    set_script(f.install.xray,
               "print 2024/05/01 12:00:00 from 127.0.0.1:50000 accepted "
               "tcp:example.com:443 [socks-in >> p" +
                   std::to_string(c.channel) + "]\nstay\n");
    SharedState shared([&](const CoreLaunch& launch) { return start_cores(launch, f.env()); });
    ASSERT_EQ(connect(shared, proxy_launch()), StateView(ViewConnected{"Нидерланды", 10808}));
    EXPECT_TRUE(wait_until([&] {
      return with_lock(
          shared, [&](ServiceState& s) { return s.cores->current_channel->load() == c.channel; });
    }));
    EXPECT_EQ(status(shared), StateView(ViewConnected{c.node, 10808}));

    std::mutex mutex;
    std::vector<std::string> seen;
    {
      Watchdog watchdog(shared, FAST, system_clock(), [&](const std::string& remark) {
        std::lock_guard<std::mutex> guard(mutex);
        if (seen.empty()) seen.push_back(remark);
      });
      std::this_thread::sleep_for(Ms(100));
    }
    EXPECT_EQ(seen, c.seen);
  }
}

TEST(State, ServiceStopEndsTheCoresAndWantsNothing) {
  CoreFolders f;
  SharedState shared([&](const CoreLaunch& launch) { return start_cores(launch, f.env()); });
  ASSERT_TRUE(std::holds_alternative<ViewConnected>(connect(shared, tunnel_launch())));
  const auto pids = with_lock(shared, [](ServiceState& s) { return pids_of(*s.cores); });
  ASSERT_TRUE(wait_until([&] { return run_count(f.install.xray) == 1; }));
  Watchdog watchdog(shared, FAST);
  {
    auto lock = shared.lock();
    on_service_stop(shared);
    EXPECT_FALSE(shared.state().cores);
    EXPECT_FALSE(shared.state().desired);
  }
  EXPECT_TRUE(all_gone(pids));
  std::this_thread::sleep_for(Ms(100));
  EXPECT_EQ(run_count(f.install.xray), 1);
  EXPECT_EQ(status(shared), StateView(ViewDisconnected{}));
}

// The service's own timing: a proxy core that dies at once is back after
// the one-second tick and a one-second delay.
TEST(Watchdog, RestartsWithTheRealTiming) {
  CoreFolders f;
  set_script(f.install.xray, 1, "exit 3\n");
  SharedState shared([&](const CoreLaunch& launch) { return start_cores(launch, f.env()); });
  const auto connected_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(std::holds_alternative<ViewConnected>(connect(shared, proxy_launch())));
  Watchdog watchdog(shared, WatchdogTiming{});
  ASSERT_TRUE(wait_until([&] { return run_count(f.install.xray) == 2; }, 10s));
  const auto elapsed = std::chrono::steady_clock::now() - connected_at;
  EXPECT_GE(elapsed, Ms(2000));
  EXPECT_LE(elapsed, Ms(6000));
  EXPECT_EQ(status(shared), StateView(ViewConnected{"Нидерланды", 10808}));
  with_lock(shared, [](ServiceState& s) { EXPECT_EQ(s.restart_attempts, 1u); });
}

}  // namespace
}  // namespace ombrel::supervisor
