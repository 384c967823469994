// Many connects and disconnects with real cores leave no process, thread or
// handle behind: every start's watcher and copiers end with their cores.
#include <gtest/gtest.h>

#include <iostream>

#include "core_folders.hpp"
#include "platform/process/selfstats.hpp"
#include "supervisor/state.hpp"

namespace ombrel::supervisor {
namespace {

using namespace ombrel::supervisor::testing;

struct Counts {
  std::size_t threads = 0;
  std::size_t handles = 0;
  friend bool operator==(const Counts&, const Counts&) = default;
};

Counts own_counts() {
  const auto threads = platform::own_thread_count();
  const auto handles = platform::own_handle_count();
  EXPECT_TRUE(threads && handles);
  return Counts{threads.value_or(0), handles.value_or(0)};
}

// Detached readers end shortly after their cores: waits for the counts to
// come back to `target`, or to settle when there is none.
Counts settled_counts(std::optional<Counts> target) {
  Counts now = own_counts();
  Counts last = now;
  int steady = 0;
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < until) {
    now = own_counts();
    if (target && now == *target) return now;
    steady = now == last ? steady + 1 : 0;
    last = now;
    if (!target && steady >= 20) return now;
    std::this_thread::sleep_for(20ms);
  }
  return now;
}

constexpr int CYCLES = 200;
constexpr std::size_t HANDLE_NOISE = 3;

TEST(NoLeaks, ConnectAndDisconnectManyTimes) {
  CoreFolders f;
  SharedState shared([&](const CoreLaunch& launch) { return start_cores(launch, f.env()); });
  const auto cycle = [&](bool tunnel, std::vector<std::uint32_t>* pids) {
    auto lock = shared.lock();
    const StateView view = on_connect(shared, tunnel ? tunnel_launch() : proxy_launch());
    const auto* error = std::get_if<ViewError>(&view);
    EXPECT_TRUE(std::holds_alternative<ViewConnected>(view))
        << (tunnel ? "tunnel: " : "proxy: ") << (error ? error->message : "not an error");
    if (pids != nullptr && shared.state().cores) {
      for (const auto pid : pids_of(*shared.state().cores)) pids->push_back(pid);
    }
    on_disconnect(shared);
  };

  // Whatever the first start brings for good (the registry, lazily made
  // system threads) belongs to the baseline.
  cycle(false, nullptr);
  cycle(true, nullptr);
  // And whatever the process listing keeps.
  EXPECT_TRUE(all_gone({}));
  const Counts baseline = settled_counts(std::nullopt);

  std::vector<std::uint32_t> pids;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < CYCLES; ++i) cycle(i % 2 == 1, &pids);
  const auto took = std::chrono::steady_clock::now() - started;
  std::cout << CYCLES << " cycles took "
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";

  EXPECT_EQ(pids.size(), static_cast<std::size_t>(CYCLES + CYCLES / 2));
  EXPECT_TRUE(all_gone(pids));
  const Counts after = settled_counts(baseline);
  EXPECT_EQ(after.threads, baseline.threads);
  // A handle lost by a connect or a disconnect would show once a cycle,
  // hundreds in all. The system's own count moves by one or two on its own
  // (Wine makes and drops handles of its own between our samples, and keeps
  // two when a process dies while it is being set up), so that is no leak.
  EXPECT_LE(after.handles, baseline.handles + HANDLE_NOISE);
  std::cout << "threads " << baseline.threads << " -> " << after.threads << ", handles "
            << baseline.handles << " -> " << after.handles << "\n";
}

}  // namespace
}  // namespace ombrel::supervisor
