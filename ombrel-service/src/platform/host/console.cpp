// The copy of standard error is the same on both platforms.
#include <atomic>

#include "platform/host/console.hpp"

namespace ombrel::platform {
namespace {
std::atomic<StderrCopy> g_stderr_copy{nullptr};
}  // namespace

void copy_stderr_to(StderrCopy copy) {
  g_stderr_copy.store(copy);
}

void write_stderr(std::string_view utf8) {
  write_console_stderr(utf8);
  if (const StderrCopy copy = g_stderr_copy.load()) copy(utf8);
}

}  // namespace ombrel::platform
