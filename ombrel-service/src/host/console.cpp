#include "host/console.hpp"

#include "platform/host/console.hpp"

namespace ombrel::host {

Console system_console() {
  return Console{platform::write_stdout, platform::write_stderr};
}

}  // namespace ombrel::host
