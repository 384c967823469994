// The Linux port: no service manager, and SIGTERM or SIGINT as the stop.
#include <signal.h>

#include <fstream>
#include <sstream>

#include "host_run.hpp"
#include "platform/channel/pipe.hpp"

namespace ombrel::host_e2e {
namespace {

using namespace std::chrono_literals;

TEST(HostService, ManagingTheServiceIsRefusedOnLinux) {
  for (const char* word : {"install", "uninstall", "restart"}) {
    SCOPED_TRACE(word);
    const Ran ran = run_service({word});
    EXPECT_EQ(ran.code, 1);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "Error: управление службой доступно только в Windows\n");
  }
}

// The signals are blocked (and taken by a waiting thread) once the service
// is ready for them; before that they would simply end it.
bool stop_signals_blocked(std::uint32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    const unsigned long long wanted = (1ull << (SIGTERM - 1)) | (1ull << (SIGINT - 1));
    return (mask & wanted) == wanted;
  }
  return false;
}

// The service (no word) and "run" in the console alike. One case stops the
// service while its start-up update check waits (up to 15 seconds) for a
// desktop application to close: the process ends at once and cleanly,
// though that thread is still at work.
TEST(HostService, NoWordAndRunRunUntilAStopSignalThenExitCleanly) {
  const struct {
    std::vector<std::string> args;
    int signal;
    bool update_check_waits;
  } cases[] = {{{}, SIGTERM, false},
               {{}, SIGINT, false},
               {{}, SIGTERM, true},
               {{"run"}, SIGTERM, false},
               {{"run"}, SIGINT, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << testing::PrintToString(c.args) << " " << c.signal
                                    << (c.update_check_waits ? " in the wait" : ""));
    testsupport::TempDir data("host-data");
    // Keep whatever the workers create inside the test's own folder.
    ::setenv("OMBREL_DATA_DIR", data.path().c_str(), 1);
    const std::string pipe = data.file("service.sock");
    ::setenv("OMBREL_PIPE", pipe.c_str(), 1);

    testsupport::InstallDir install("host-install");
    platform::Process desktop;
    platform::SpawnOptions options;
    options.program = service_exe();
    if (c.update_check_waits) {
      options.program =
          testsupport::install_program(install.path(), "ombrel-service", "ombrel-service");
      std::ofstream(install.file("update-pending.json")) << "{\"version\":\"9.1\"}";
      platform::SpawnOptions app;
      app.program = install.desktop;
      auto started = platform::spawn(app);
      ASSERT_TRUE(started) << started.error().to_string();
      desktop = std::move(*started);
      ASSERT_TRUE(testsupport::wait_until([&] { return testsupport::run_count(install.desktop); }));
    }
    options.args = c.args;
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Pipe;
    options.std_err = platform::Stdio::Pipe;
    auto process = platform::spawn(options);
    ASSERT_TRUE(process) << process.error().to_string();
    auto out = process->take_stdout();
    auto err = process->take_stderr();

    ASSERT_TRUE(testsupport::wait_until([&] { return stop_signals_blocked(process->pid()); }, 10s));
    // The pipe server answers only once the update check has been started.
    ASSERT_TRUE(platform::pipe_exchange(pipe, "{\"cmd\":\"status\"}", 30s));
    std::this_thread::sleep_for(200ms);
    auto still = process->try_wait();
    ASSERT_TRUE(still);
    ASSERT_FALSE(still->has_value()) << "the service ended on its own";

    ASSERT_EQ(::kill(static_cast<pid_t>(process->pid()), c.signal), 0);
    std::optional<int> code;
    ASSERT_TRUE(testsupport::wait_until(
        [&] {
          auto r = process->try_wait();
          if (r && r->has_value()) code = **r;
          return code.has_value();
        },
        10s));
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(testsupport::read_to_end(*out), "");
    // The service says when it started and stopped; "run" says nothing.
    EXPECT_EQ(testsupport::read_to_end(*err),
              c.args.empty() ? "служба запущена\nслужба остановлена\n" : "");
    // The wait was cut short: the desktop application was never started anew.
    if (c.update_check_waits) {
      EXPECT_EQ(testsupport::run_count(install.desktop), 1);
    }
  }
}

}  // namespace
}  // namespace ombrel::host_e2e
