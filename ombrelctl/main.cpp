#include "platform/console.hpp"

namespace {
int run() {
  ombrel::platform::write_stderr("ombrelctl: not implemented yet\n");
  return 2;
}
}  // namespace

#ifdef _WIN32
int wmain() { return run(); }
#else
int main() { return run(); }
#endif
