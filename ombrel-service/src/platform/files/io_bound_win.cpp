#include "platform/files/io_bound.hpp"
#include "platform/files/io_watch_win.hpp"

namespace ombrel::platform {

std::unique_ptr<IoWatcher> make_io_watcher() {
  return std::make_unique<IoWatch>();
}

}  // namespace ombrel::platform
