// The whole update of an installed service under the service control
// manager (Wine's in the tests): the running service accepts new builds of
// itself and of the desktop application, moves its own executable aside,
// has the new one restart the service, and the restarted service starts the
// new desktop application in the user's session and clears the record.
// The installed service and the new builds are the ones the build signed
// for the tests (signing.hpp), all from one test authority: the new builds
// with a renewed certificate of the same publisher. Before the update that is
// taken, offers of the wrong program or of an older build are refused and
// leave the installation as it was. The service is installed in a folder
// only the system and the administrators may change: one in the temporary
// folder of the account that runs the test lies in its profile, which the
// service, as the system account, rightly judges unsafe and takes no
// update into.
#include <windows.h>

#include <filesystem>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_run.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/host/service.hpp"
#include "platform/trust/hash.hpp"
#include "platform/trust/version.hpp"
#include "running_service.hpp"
#include "signing.hpp"

namespace ombrel::update_service_e2e {
namespace {

using namespace std::chrono_literals;
using e2e::failed_reply;
using e2e::read_file;
using e2e::snapshot;
using e2e::write_file;
using host_e2e::Ran;
using host_e2e::run_program;
using host_e2e::service_state;
using testsupport::fs_path;
using testsupport::wait_until;

std::string digest_of(std::string_view bytes) {
  return platform::to_hex(platform::sha256(bytes).value());
}

// The build `build` signed by the publisher's renewed certificate, put at
// `path`; its bytes.
std::string new_build(std::string_view build, const std::string& path) {
  EXPECT_TRUE(testsupport::put_signed_program(build, "renewed", path));
  return read_file(path).value_or("");
}

std::string update_line(const std::string& app_path, const std::string& app,
                        const std::string& svc_path, const std::string& svc) {
  return nlohmann::json{{"cmd", "update"},          {"version", "9.1"},
                        {"app_path", app_path},     {"app_sha256", digest_of(app)},
                        {"service_path", svc_path}, {"service_sha256", digest_of(svc)}}
             .dump() +
         "\n";
}

// The executables the build makes carry their version resource: the
// project's version, the name each is installed under, the product's name.
TEST(VersionResource, EveryExecutableSaysWhatItIsAndWhichVersion) {
  const std::string version = OMBREL_VERSION;
  struct Case {
    std::string built;
    const char* original;
  };
  const Case cases[] = {
      {host_e2e::service_exe(), "ombrel-service.exe"},
      {platform::join_path(testsupport::bin_dir(), "ombrelctl.exe"), "ombrelctl.exe"},
      {platform::join_path(testsupport::bin_dir(), "ombrel-service-dev.exe"), "ombrel-service.exe"},
      {platform::join_path(testsupport::bin_dir(), "standin-desktop.exe"), "ombrel-desktop.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.built);
    if (!std::filesystem::exists(fs_path(c.built))) continue;  // a variant not built here
    const auto read = platform::program_version(c.built);
    ASSERT_TRUE(read && *read) << (read ? "no resource" : read.error().to_string());
    EXPECT_EQ((*read)->original_filename, c.original);
    EXPECT_EQ(platform::version_text((*read)->file_version), version);
    // The strings as any other reader of the resource sees them.
    const std::wstring path = fs_path(c.built).wstring();
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(
        GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    auto text = [&](const wchar_t* key) {
      void* value = nullptr;
      UINT chars = 0;
      if (!VerQueryValueW(block.data(), key, &value, &chars) || chars == 0) return std::wstring();
      return std::wstring(static_cast<const wchar_t*>(value), chars - 1);
    };
    EXPECT_EQ(text(L"\\StringFileInfo\\041904B0\\ProductName"), L"Ombrel VPN");
    EXPECT_EQ(text(L"\\StringFileInfo\\041904B0\\ProductVersion"),
              std::wstring(version.begin(), version.end()));
    EXPECT_FALSE(text(L"\\StringFileInfo\\041904B0\\FileDescription").empty());
  }
  // A program built without one, and a file that is not there.
  const auto none =
      platform::program_version(platform::join_path(testsupport::bin_dir(), "standin-xray.exe"));
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);
  EXPECT_FALSE(
      platform::program_version(platform::join_path(testsupport::bin_dir(), "absent.exe")));
}

TEST(UpdateInstalledService, ReplacesItselfRestartsAndStartsTheNewDesktop) {
  ASSERT_NO_FATAL_FAILURE(host_e2e::wait_for_idle_manager());
  testsupport::InstallDir install("update service e2e");
  testsupport::TempDir offered("update offered");
  const std::string service = install.file("ombrel-service.exe");
  ASSERT_TRUE(testsupport::put_signed_program("service", "ours", service));
  ASSERT_TRUE(testsupport::put_signed_program("desktop", "ours", install.desktop));
  const std::string old_service = read_file(service).value_or("");
  testsupport::set_script(install.desktop, "exit 0");

  const host_e2e::Uninstall uninstall{service};
  const Ran installed = run_program(service, {"install"});
  ASSERT_EQ(installed.code, 0) << installed.err;
  ASSERT_TRUE(wait_until([] { return service_state() == 4; }, 30s));
  const auto ask = [](const std::string& line) {
    return platform::pipe_exchange(platform::default_pipe_name(), line, 60s).value_or("?");
  };
  const std::string status = "{\"cmd\":\"status\"}\n";
  const std::string disconnected = "{\"state\":\"disconnected\"}\n";
  ASSERT_EQ(ask(status), disconnected);

  const std::string app_path = offered.file("desktop.exe");
  const std::string app = new_build("desktop-9.1", app_path);
  // The signed desktop program offered as the service, and an older build
  // of the service itself: refused, nothing changes, the service answers on.
  const std::string desktop_copy = offered.file("desktop as service.exe");
  std::filesystem::copy_file(fs_path(install.desktop), fs_path(desktop_copy));
  const std::string older_path = offered.file("older service.exe");
  const std::string older = new_build("service-0.9", older_path);
  for (const auto& [path, bytes, text] : {
           std::tuple{desktop_copy, read_file(desktop_copy).value_or(""),
                      desktop_copy + " - не ombrel-service.exe"},
           std::tuple{older_path, older,
                      older_path + " - версия 0.9.0.0 не новее установленной " + OMBREL_VERSION},
       }) {
    SCOPED_TRACE(path);
    const auto before = snapshot(install.path());
    EXPECT_EQ(ask(update_line(app_path, app, path, bytes)), failed_reply(text));
    EXPECT_EQ(snapshot(install.path()), before);
    EXPECT_EQ(ask(status), disconnected);
  }

  // A newer build, signed with the publisher's renewed certificate.
  const std::string svc_path = offered.file("service.exe");
  const std::string svc = new_build("service-9.1", svc_path);
  EXPECT_EQ(ask(update_line(app_path, app, svc_path, svc)),
            "{\"state\":\"updating\",\"version\":\"9.1\",\"tunnel_drops\":true}\n");
  // The restarted service launches the desktop application and clears the record.
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(install.desktop) == 1; }, 90s));
  EXPECT_TRUE(wait_until(
      [&] { return !std::filesystem::exists(fs_path(install.file("update-pending.json"))); }, 30s));
  EXPECT_EQ(read_file(service), svc);
  EXPECT_EQ(read_file(service + ".old"), old_service);
  EXPECT_EQ(read_file(install.desktop), app);
  EXPECT_TRUE(wait_until([] { return service_state() == 4; }, 30s));
  EXPECT_EQ(ask(status), disconnected);
  // The service that answers runs the new build: the version it carries.
  const auto now = platform::program_version(service);
  ASSERT_TRUE(now && *now);
  EXPECT_EQ(platform::version_text((*now)->file_version), "9.1.0.0");
}

}  // namespace
}  // namespace ombrel::update_service_e2e
