// What owning a child means on both systems, over each one's `end_and_reap`.
#include "platform/process/process.hpp"

namespace ombrel::platform {

Process::~Process() {
  end_and_reap();
}

std::optional<PipeWriter> Process::take_stdin() {
  return std::exchange(stdin_, std::nullopt);
}
std::optional<PipeReader> Process::take_stdout() {
  return std::exchange(stdout_, std::nullopt);
}
std::optional<PipeReader> Process::take_stderr() {
  return std::exchange(stderr_, std::nullopt);
}

}  // namespace ombrel::platform
