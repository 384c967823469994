#pragma once
// The order in which processes ended, as the system saw it, so that a test
// can tell which of two cores was ended first even though both are gone by
// the time it looks.
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace ombrel::supervisor::testing {

class ExitOrder {
 public:
  // Starts watching `pids`, which must be running children of this process.
  explicit ExitOrder(const std::vector<std::uint32_t>& pids);
  ~ExitOrder();
  ExitOrder(const ExitOrder&) = delete;
  ExitOrder& operator=(const ExitOrder&) = delete;

  // The watched pids in the order they ended; waits up to `timeout` for all
  // of them and leaves out those still running then.
  std::vector<std::uint32_t> order(std::chrono::milliseconds timeout);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ombrel::supervisor::testing
