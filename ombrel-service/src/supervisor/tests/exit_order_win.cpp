// Windows: the exit time the system keeps for every ended process, read
// through a handle opened while the process still ran.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "exit_order.hpp"

namespace ombrel::supervisor::testing {

struct ExitOrder::Impl {
  std::vector<std::pair<std::uint32_t, HANDLE>> processes;
};

ExitOrder::ExitOrder(const std::vector<std::uint32_t>& pids) : impl_(std::make_unique<Impl>()) {
  for (const std::uint32_t pid : pids) {
    const HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    EXPECT_NE(h, nullptr) << "OpenProcess " << pid;
    if (h != nullptr) impl_->processes.emplace_back(pid, h);
  }
}

ExitOrder::~ExitOrder() {
  for (const auto& [pid, h] : impl_->processes) CloseHandle(h);
}

std::vector<std::uint32_t> ExitOrder::order(std::chrono::milliseconds timeout) {
  struct Ended {
    std::uint64_t at;
    std::size_t index;
    std::uint32_t pid;
  };
  std::vector<Ended> ended;
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (std::size_t i = 0; i < impl_->processes.size(); ++i) {
    const auto [pid, h] = impl_->processes[i];
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (WaitForSingleObject(h, static_cast<DWORD>(std::max<long long>(0, left.count()))) !=
        WAIT_OBJECT_0) {
      continue;
    }
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(h, &created, &exited, &kernel, &user)) continue;
    ended.push_back(
        {(static_cast<std::uint64_t>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime, i, pid});
  }
  // Equal times (a coarse clock) keep the order the pids were given in.
  std::sort(ended.begin(), ended.end(), [](const Ended& a, const Ended& b) {
    return a.at != b.at ? a.at < b.at : a.index < b.index;
  });
  std::vector<std::uint32_t> pids;
  for (const Ended& e : ended) pids.push_back(e.pid);
  return pids;
}

}  // namespace ombrel::supervisor::testing
