// The whole update of an installed service under the service control
// manager (Wine's in the tests): the running service accepts new builds of
// itself and of the desktop application, moves its own executable aside,
// has the new one restart the service, and the restarted service starts the
// new desktop application in the user's session and clears the record.
// The installed service and the new builds are signed with a certificate
// made for this run.
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host_run.hpp"
#include "platform/hash.hpp"
#include "platform/paths.hpp"
#include "platform/pipe.hpp"
#include "platform/service.hpp"
#include "running_service.hpp"
#include "signing.hpp"

namespace ombrel::update_service_e2e {
namespace {

using namespace std::chrono_literals;
using e2e::read_file;
using e2e::write_file;
using host_e2e::Ran;
using host_e2e::run_program;
using testsupport::fs_path;
using testsupport::wait_until;

const std::string SC = "C:\\windows\\system32\\sc.exe";

std::string digest_of(std::string_view bytes) {
  return platform::to_hex(platform::sha256(bytes).value());
}

std::optional<int> service_state() {
  const Ran ran = run_program(SC, {"query", "OmbrelService"});
  const auto at = ran.out.find("STATE");
  if (ran.code != 0 || at == std::string::npos) return std::nullopt;
  const auto colon = ran.out.find(':', at);
  return std::stoi(ran.out.substr(colon + 1));
}

// Wine's manager starts its own services for a while after the prefix is
// made and refuses other starts meanwhile; it is idle once a start request
// for a running service is answered with 1056.
void wait_for_idle_manager() {
  namespace scm = platform::scm;
  auto manager = platform::system_service_control().open_manager(scm::RIGHT_CONNECT);
  ASSERT_TRUE(manager) << manager.error().to_string();
  auto plugplay = (*manager)->open_service("plugplay", scm::RIGHT_START);
  ASSERT_TRUE(plugplay) << plugplay.error().to_string();
  ASSERT_TRUE(wait_until(
      [&] {
        const auto started = (*plugplay)->start();
        return started || started.error().to_string().find("(os error 1056)") != std::string::npos;
      },
      180s))
      << "the service manager stayed busy";
}

// Removes the service however the test ends.
struct Uninstall {
  std::string exe;
  ~Uninstall() {
    (void)run_program(exe, {"uninstall"});
    wait_until([] { return !service_state().has_value(); }, 30s);
  }
};

// A runnable copy of `program` that differs from it by `tag` after its end,
// signed by `signer`.
std::string new_build(const std::string& program, const std::string& path, std::string_view tag,
                      const testsupport::TestSigner& signer) {
  std::string bytes = read_file(program).value_or("");
  EXPECT_FALSE(bytes.empty()) << program;
  bytes += '\0';
  bytes += tag;
  write_file(path, bytes);
  EXPECT_TRUE(signer.sign_in_place(path));
  return read_file(path).value_or("");
}

TEST(UpdateInstalledService, ReplacesItselfRestartsAndStartsTheNewDesktop) {
  ASSERT_NO_FATAL_FAILURE(wait_for_idle_manager());
  testsupport::InstallDir install("update service e2e");
  testsupport::TempDir offered("update offered");
  testsupport::TempDir certs("update certs");
  const auto signer = testsupport::TestSigner::make(certs.path(), "ours");
  ASSERT_TRUE(signer);
  const std::string service = install.file("ombrel-service.exe");
  std::filesystem::copy_file(fs_path(host_e2e::service_exe()), fs_path(service));
  ASSERT_TRUE(signer->sign_in_place(service));
  const std::string old_service = read_file(service).value_or("");
  testsupport::set_script(install.desktop, "exit 0");

  const Ran installed = run_program(service, {"install"});
  ASSERT_EQ(installed.code, 0) << installed.err;
  const Uninstall uninstall{service};
  ASSERT_TRUE(wait_until([] { return service_state() == 4; }, 30s));
  const std::string pipe = platform::default_pipe_name();
  const std::string status = "{\"cmd\":\"status\"}\n";
  ASSERT_EQ(platform::pipe_exchange(pipe, status, 30s).value_or("?"),
            "{\"state\":\"disconnected\"}\n");

  const std::string app_path = offered.file("desktop.exe");
  const std::string svc_path = offered.file("service.exe");
  const std::string app = new_build(
      platform::join_path(testsupport::bin_dir(), "standin-desktop.exe"), app_path, "9.1", *signer);
  const std::string svc = new_build(host_e2e::service_exe(), svc_path, "9.1", *signer);
  const std::string line =
      nlohmann::json{{"cmd", "update"},          {"version", "9.1"},
                     {"app_path", app_path},     {"app_sha256", digest_of(app)},
                     {"service_path", svc_path}, {"service_sha256", digest_of(svc)}}
          .dump() +
      "\n";
  EXPECT_EQ(platform::pipe_exchange(pipe, line, 60s).value_or("?"),
            "{\"state\":\"updating\",\"version\":\"9.1\",\"tunnel_drops\":true}\n");

  // The restarted service launches the desktop application and clears the record.
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(install.desktop) == 1; }, 90s));
  EXPECT_TRUE(wait_until(
      [&] { return !std::filesystem::exists(fs_path(install.file("update-pending.json"))); }, 30s));
  EXPECT_EQ(read_file(service), svc);
  EXPECT_EQ(read_file(service + ".old"), old_service);
  EXPECT_EQ(read_file(install.desktop), app);
  EXPECT_TRUE(wait_until([] { return service_state() == 4; }, 30s));
  EXPECT_EQ(platform::pipe_exchange(pipe, status, 30s).value_or("?"),
            "{\"state\":\"disconnected\"}\n");
}

}  // namespace
}  // namespace ombrel::update_service_e2e
