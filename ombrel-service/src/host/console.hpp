#pragma once
// Where the host's text goes: standard output for success lines, standard
// error for everything else. Injected so that tests read what a person sees.
#include <functional>
#include <string_view>

namespace ombrel::host {

struct Console {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
};

// The process's own standard output and error.
Console system_console();

}  // namespace ombrel::host
