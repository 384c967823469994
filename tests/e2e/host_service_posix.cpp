// The Linux port: no service manager, and SIGTERM or SIGINT as the stop.
#include <signal.h>

#include <fstream>
#include <sstream>

#include "host_run.hpp"

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

TEST(HostService, NoWordRunsUntilAStopSignalThenExitsCleanly) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    testsupport::TempDir data("host-data");
    // Keep whatever the workers create inside the test's own folder.
    ::setenv("OMBREL_DATA_DIR", data.path().c_str(), 1);
    ::setenv("OMBREL_PIPE", data.file("service.sock").c_str(), 1);

    platform::SpawnOptions options;
    options.program = service_exe();
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Pipe;
    options.std_err = platform::Stdio::Pipe;
    auto process = platform::spawn(options);
    ASSERT_TRUE(process) << process.error().to_string();
    auto out = process->take_stdout();
    auto err = process->take_stderr();

    ASSERT_TRUE(testsupport::wait_until([&] { return stop_signals_blocked(process->pid()); }, 10s));
    std::this_thread::sleep_for(200ms);
    auto still = process->try_wait();
    ASSERT_TRUE(still);
    ASSERT_FALSE(still->has_value()) << "the service ended on its own";

    ASSERT_EQ(::kill(static_cast<pid_t>(process->pid()), signal), 0);
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
    EXPECT_EQ(testsupport::read_to_end(*err), "");
  }
}

}  // namespace
}  // namespace ombrel::host_e2e
