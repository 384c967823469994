#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/files/io_bound.hpp"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ombrel::platform {
namespace {

using namespace std::chrono_literals;
using Ran = BoundedIo::Ran;

// Calls that take `first` and then `second`, under a stall bound and a
// deadline: which bound, if any, they run into.
TEST(BoundedIo, TellsWhichBoundACallRanInto) {
  struct Case {
    const char* name;
    std::chrono::milliseconds stall, deadline, first, second;
    Ran ran;
  };
  const Case cases[] = {
      {"in time", 500ms, 2000ms, 0ms, 0ms, Ran::InTime},
      {"one call too slow", 40ms, 2000ms, 80ms, 0ms, Ran::Stalled},
      {"each quick, together too slow", 200ms, 100ms, 60ms, 60ms, Ran::PastDeadline},
  };
  const auto watcher = make_io_watcher();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BoundedIo io(*watcher, c.stall, std::chrono::steady_clock::now() + c.deadline);
    for (const auto pause : {c.first, c.second}) {
      const BoundedCall call;
      std::this_thread::sleep_for(pause);
    }
    EXPECT_EQ(io.outcome(), c.ran);
  }
  // No scope, no bound.
  const BoundedCall unbounded;
}

#ifdef _WIN32
// A read that never gets its bytes is cancelled once it has stalled, and
// every later call at once.
TEST(BoundedIo, AStalledReadIsCancelled) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  const auto watcher = make_io_watcher();
  BoundedIo io(*watcher, 200ms, std::chrono::steady_clock::now() + 10s);
  const auto start = std::chrono::steady_clock::now();
  char byte = 0;
  DWORD n = 0;
  for (int round = 0; round < 2; ++round) {
    const BoundedCall call;
    EXPECT_FALSE(ReadFile(read_end, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(io.outcome(), Ran::Stalled);
  CloseHandle(read_end);
  CloseHandle(write_end);
}
#endif

}  // namespace
}  // namespace ombrel::platform
