#include "platform/files/io_bound.hpp"

namespace ombrel::platform {

namespace {

// Nothing here cancels a blocking call; `BoundedCall` still notices one that
// ran over once it returns.
class NoCanceller final : public IoWatcher {
 public:
  void arm(std::optional<std::chrono::steady_clock::time_point>) override {}
  bool disarm() override { return false; }
};

}  // namespace

std::unique_ptr<IoWatcher> make_io_watcher() {
  return std::make_unique<NoCanceller>();
}

}  // namespace ombrel::platform
