#include "platform/io_bound.hpp"
#include "platform/io_watch_win.hpp"

namespace ombrel::platform {

std::unique_ptr<IoWatcher> make_io_watcher() {
  return std::make_unique<IoWatch>();
}

}  // namespace ombrel::platform
