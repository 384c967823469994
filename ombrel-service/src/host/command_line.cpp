#include "host/command_line.hpp"

#include "host/runtime.hpp"
#include "host/service_setup.hpp"

namespace ombrel::host {

Commands system_commands() {
  Commands commands;
  commands.run_as_service = [] { return run_as_service(); };
  commands.install = [] { return install_service(); };
  commands.uninstall = [] { return uninstall_service(); };
  commands.restart = [] { return restart_service(); };
  commands.run_console = [] { run_console(service_workers()); };
  return commands;
}

int run_command_line(const std::vector<std::string>& args, const Commands& commands,
                     const Console& console) {
  Result<void> outcome;
  if (args.empty()) {
    outcome = commands.run_as_service();
  } else if (const std::string& word = args.front(); word == "install") {
    outcome = commands.install();
  } else if (word == "uninstall") {
    outcome = commands.uninstall();
  } else if (word == "restart") {
    outcome = commands.restart();
  } else if (word == "run") {
    commands.run_console();
  } else {
    console.err("неизвестная команда: " + word + "\n");
    console.err("допустимые: install, uninstall, run\n");
    return 2;
  }
  if (!outcome) {
    console.err(outcome.error().multiline());
    return 1;
  }
  return 0;
}

}  // namespace ombrel::host
