#pragma once
// Runs the real ombrel-service (or a system tool) and collects what it says.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/host/service.hpp"
#include "platform/process/process.hpp"
#include "testsupport.hpp"

namespace ombrel::host_e2e {

struct Ran {
  int code = -1;
  std::string out;
  std::string err;
};

// `input`, when given, is the program's standard input; otherwise it has none.
inline Ran run_program(const std::string& program, const std::vector<std::string>& args,
                       std::optional<std::string_view> input = std::nullopt) {
  platform::SpawnOptions options;
  options.program = program;
  options.args = args;
  options.std_in = input ? platform::Stdio::Pipe : platform::Stdio::Null;
  options.std_out = platform::Stdio::Pipe;
  options.std_err = platform::Stdio::Pipe;
  auto process = platform::spawn(options);
  if (!process) {
    ADD_FAILURE() << "cannot start " << program << ": " << process.error().to_string();
    return {};
  }
  if (input) {
    auto in = process->take_stdin();
    EXPECT_TRUE(in && in->write_all(*input)) << "cannot write to " << program;
  }
  auto out = process->take_stdout();
  auto err = process->take_stderr();
  Ran ran;
  // Both streams at once: a full pipe on one must not stall the other.
  std::thread err_reader([&] { ran.err = testsupport::read_to_end(*err); });
  ran.out = testsupport::read_to_end(*out);
  err_reader.join();
  const auto code = process->wait();
  if (!code) {
    ADD_FAILURE() << "cannot wait for " << program << ": " << code.error().to_string();
    return ran;
  }
  ran.code = *code;
  return ran;
}

inline std::string service_exe() {
  return testsupport::bin_dir() + (
#ifdef _WIN32
                                      "\\ombrel-service.exe"
#else
                                      "/ombrel-service"
#endif
                                  );
}

inline Ran run_service(const std::vector<std::string>& args) {
  return run_program(service_exe(), args);
}

#ifdef _WIN32
inline const std::string SC = "C:\\windows\\system32\\sc.exe";

// The state number of `sc query`, nullopt when the service does not exist.
inline std::optional<int> service_state() {
  const Ran ran = run_program(SC, {"query", "OmbrelService"});
  const auto at = ran.out.find("STATE");
  if (ran.code != 0 || at == std::string::npos) return std::nullopt;
  const auto colon = ran.out.find(':', at);
  return std::stoi(ran.out.substr(colon + 1));
}

// Removes the service however the test that installed it ends, so that the
// tests after it never meet a service they did not start.
struct Uninstall {
  std::string exe;
  ~Uninstall() {
    (void)run_program(exe, {"uninstall"});
    testsupport::wait_until([] { return !service_state().has_value(); }, std::chrono::seconds(30));
  }
};

// In a new prefix Wine's manager goes on starting its own services for a
// while (tens of seconds on a busy machine) and holds its start lock: other
// start requests fail with 1055 after three seconds, and a program that
// connects to the dispatcher meanwhile may take the control pipe meant for
// one of them. A start request for a service that runs is answered at once
// with 1056 only once the manager is idle.
inline void wait_for_idle_manager() {
  namespace scm = platform::scm;
  auto manager = platform::system_service_control().open_manager(scm::RIGHT_CONNECT);
  ASSERT_TRUE(manager) << manager.error().to_string();
  auto plugplay = (*manager)->open_service("plugplay", scm::RIGHT_START);
  ASSERT_TRUE(plugplay) << plugplay.error().to_string();
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        const auto started = (*plugplay)->start();
        return started || started.error().to_string().find("(os error 1056)") != std::string::npos;
      },
      std::chrono::seconds(180)))
      << "the service manager stayed busy";
}
#endif

}  // namespace ombrel::host_e2e
