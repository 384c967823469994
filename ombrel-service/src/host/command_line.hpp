#pragma once
// The command line of ombrel-service: no word runs the service, "install",
// "uninstall" and "restart" manage it, "run" runs its workers in the console.
#include <functional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "host/console.hpp"

namespace ombrel::host {

// What each command word does; `system_commands()` gives the real ones.
struct Commands {
  std::function<Result<void>()> run_as_service;
  std::function<Result<void>()> install;
  std::function<Result<void>()> uninstall;
  std::function<Result<void>()> restart;
  // Runs the workers in the console; returns once they have stopped (on
  // SIGTERM or SIGINT on Linux).
  std::function<void()> run_console;
};

Commands system_commands();

// `args` are the program's arguments after its name. Returns the exit code:
// 0 on success, 1 on an error (printed to `console.err` in the multi-line
// form), 2 on an unknown command word.
int run_command_line(const std::vector<std::string>& args, const Commands& commands,
                     const Console& console);

}  // namespace ombrel::host
