// The real service killed outright (SIGKILL, TerminateProcess) while it runs
// cores, one started by a connect and one restarted by the watchdog: both
// end with it, without waiting for the next start's cleanup.
#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "running_service.hpp"
#include "testsupport.hpp"

namespace ombrel::crash_e2e {
namespace {

using namespace std::chrono_literals;
using testsupport::wait_until;

// The process id of the latest start of the stand-in at `exe`; 0 before any.
std::uint32_t latest_pid(const std::string& exe) {
  const std::string runs = testsupport::read_record(exe, ".runs").value_or("");
  const auto end = runs.find_last_not_of('\n');
  if (end == std::string::npos) return 0;
  const auto start = runs.find_last_of('\n', end);
  return static_cast<std::uint32_t>(
      std::stoul(runs.substr(start == std::string::npos ? 0 : start + 1)));
}

TEST(ServiceCrash, CoresEndWithAServiceThatIsKilled) {
  e2e::ServiceSetup setup("crash");
  // The first tunnel core fails at once: its successor is started by the
  // watchdog's thread, not by the pipe server's.
  setup.prepare = [](const testsupport::InstallDir& install, const std::string&) {
    testsupport::set_script(install.sing_box, 1, "exit 3");
  };
  e2e::RunningService service(setup);
  const testsupport::InstallDir& install = service.install();
  const std::string& pipe = service.pipe();

  const std::string connect =
      "{\"cmd\":\"connect\",\"nodes\":[{\"id\":\"x\",\"address\":\"192.0.2.1\",\"port\":443,"
      "\"remark\":\"one\",\"protocol\":{\"Trojan\":{\"password\":\"pw\",\"sni\":\"s\"}},"
      "\"raw\":\"\"}]}\n";
  auto reply = platform::pipe_exchange(pipe, connect, 30s);
  ASSERT_TRUE(reply) << reply.error().to_string();
  ASSERT_EQ(*reply, "{\"state\":\"connected\",\"node\":\"one\"}\n");
  ASSERT_TRUE(wait_until([&] { return testsupport::run_count(install.sing_box) == 2; }, 30s));
  // The restart ended the first proxy core and started another, which may not
  // have written its record yet (or the first may have been ended before it
  // wrote one): the pid is read again until the latest start is seen running.
  std::uint32_t xray = 0;
  std::uint32_t sing_box = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        xray = latest_pid(install.xray);
        return xray != 0 && testsupport::running_from(xray, install.xray);
      },
      30s));
  ASSERT_TRUE(wait_until(
      [&] {
        sing_box = latest_pid(install.sing_box);
        return testsupport::running_from(sing_box, install.sing_box);
      },
      10s));

  ASSERT_TRUE(service.kill());
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(wait_until([&] { return !testsupport::running_from(xray, install.xray); }, 10s));
  EXPECT_TRUE(
      wait_until([&] { return !testsupport::running_from(sing_box, install.sing_box); }, 10s));
  std::cout << "cores gone "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - killed)
                   .count()
            << " ms after the kill\n";
  // A core the test could not prove gone is ended here.
  if (testsupport::running_from(xray, install.xray)) (void)platform::terminate_process(xray, 1);
  if (testsupport::running_from(sing_box, install.sing_box)) {
    (void)platform::terminate_process(sing_box, 1);
  }
}

}  // namespace
}  // namespace ombrel::crash_e2e
