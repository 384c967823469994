// Self-update through the real service: ombrel-service "run" in a temporary
// installation folder receives update requests over the real pipe (Windows)
// or socket (Linux). New builds are stand-in programs with a few bytes
// appended (Linux) or another version in their resource (Windows), so that
// they differ from the installed ones and still run and record their
// starts.
//
// On Windows the installed service and every build offered to it are the
// ones the build signed for the tests (signing.hpp); offers signed
// otherwise are refused. Offered builds carry a higher version in their
// version resource, and a build offered as the service is the stand-in
// renamed inside its resource. On Linux only root may offer an update.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "platform/trust/hash.hpp"
#include "running_service.hpp"
#include "signing.hpp"
#include "testsupport.hpp"

#ifndef _WIN32
#include <unistd.h>

#include "as_user.hpp"
#endif

namespace ombrel::update_e2e {
namespace {

using namespace std::chrono_literals;
using e2e::DISCONNECTED;
using e2e::failed_reply;
using e2e::read_file;
using e2e::snapshot;
using e2e::STATUS;
using e2e::write_file;
using testsupport::fs_path;
using testsupport::InstallDir;
using testsupport::TempDir;
using testsupport::wait_until;

// Whatever keeps a file from being opened (a FIFO, a link on the way), the
// caller is told the same.
std::string cannot_open(const std::string& path) {
  return "не открыть " + path;
}

std::string digest_of(std::string_view bytes) {
  return platform::to_hex(platform::sha256(bytes).value());
}

bool exists(const std::string& path) {
  return std::filesystem::exists(fs_path(path));
}

// The installed service as built for the product (signed on Windows with
// our certificate), the product unsigned, or the development variant
// unsigned; `prepare` runs on the folder before the service starts.
enum class Build { Signed, Unsigned, Development };

class Service : public e2e::RunningService {
 public:
  explicit Service(const std::function<void(const InstallDir&)>& prepare = {},
                   Build build = Build::Signed)
      : RunningService(setup_for(prepare, build)) {}

  std::string record() const { return install().file("update-pending.json"); }

 private:
  static e2e::ServiceSetup setup_for(const std::function<void(const InstallDir&)>& prepare,
                                     Build build) {
    e2e::ServiceSetup setup("update-e2e");
    setup.built = build == Build::Development ? "ombrel-service-dev" : "ombrel-service";
    setup.prepare = [prepare, build](const InstallDir& install, const std::string& exe) {
#ifdef _WIN32
      if (build == Build::Signed) {
        EXPECT_TRUE(testsupport::put_signed_program("service", "ours", exe) &&
                    testsupport::put_signed_program("desktop", "ours", install.desktop));
      }
#else
      (void)build;
      (void)exe;
#endif
      if (prepare) prepare(install);
    };
    setup.first_answer = 180s;
    return setup;
  }
};

std::string update_line(const std::string& app, const std::string& app_sum,
                        const std::string& service, const std::string& service_sum) {
  return nlohmann::json{{"cmd", "update"},         {"version", "9.1"},
                        {"app_path", app},         {"app_sha256", app_sum},
                        {"service_path", service}, {"service_sha256", service_sum}}
             .dump() +
         "\n";
}

std::string updating(bool tunnel_drops) {
  return std::string("{\"state\":\"updating\",\"version\":\"9.1\",\"tunnel_drops\":") +
         (tunnel_drops ? "true" : "false") + "}\n";
}

// A refused offer is named in the reply and the log, changes nothing in the
// installation folder and leaves the service answering.
void expect_refused(Service& service, const std::string& line, const std::string& text) {
  const auto before = snapshot(service.install().path());
  EXPECT_EQ(service.ask(line), failed_reply(text));
  EXPECT_TRUE(service.said("обновление не поставлено: " + escape_controls(text) + "\n"));
  EXPECT_EQ(service.ask(STATUS), DISCONNECTED);
  EXPECT_EQ(snapshot(service.install().path()), before);
}

// Ours signs the installed service; renewed is a second certificate of the
// same publisher from the same authority; theirs is anybody else's, and
// impostor names us but comes from another authority.
enum class Signing { Ours, Renewed, Theirs, Impostor, None, Damaged, Padded };
// Which installed file a build is made for.
enum class Role { Desktop, Service };

// A runnable copy of the stand-in desktop at `path`, its bytes returned: on
// Windows the build of `role` at `version` the build signed as asked (so
// that it differs from the installed one), on Linux the stand-in with `tag`
// after its end.
std::string new_build(const std::string& path, std::string_view tag,
                      Signing signing = Signing::Ours, Role role = Role::Desktop,
                      std::array<unsigned, 4> version = {9, 1, 0, 0}) {
#ifdef _WIN32
  (void)tag;
  const std::string build =
      std::string(role == Role::Service ? "desktop-as-service-" : "desktop-") +
      std::to_string(version[0]) + "." + std::to_string(version[1]);
  const char* signer = signing == Signing::None       ? ""
                       : signing == Signing::Theirs   ? "self"
                       : signing == Signing::Renewed  ? "renewed"
                       : signing == Signing::Impostor ? "impostor"
                                                      : "ours";
  EXPECT_TRUE(testsupport::put_signed_program(build, signer, path));
  if (signing == Signing::Damaged) testsupport::damage_program(path);
  if (signing == Signing::Padded) testsupport::pad_signature_table(path, "unsigned");
  return read_file(path).value_or("");
#else
  std::string bytes = read_file(platform::join_path(testsupport::bin_dir(),
                                                    testsupport::exe_name("standin-desktop")))
                          .value_or("");
  EXPECT_FALSE(bytes.empty());
  bytes += '\0';
  bytes += tag;
  write_file(path, bytes);
  (void)signing;
  (void)role;
  (void)version;
  return bytes;
#endif
}

// Whether this test process may offer updates at all: on Linux only root may.
bool may_offer_updates() {
#ifdef _WIN32
  return true;
#else
  return ::geteuid() == 0;
#endif
}

// The service runs under "run" here, as the test's own user: on real Windows
// only the system account may take the session's user token that starting
// the desktop needs (CI runs these tests a second time as LocalSystem).
constexpr const char* LAUNCH_NEEDS_THE_SYSTEM_ACCOUNT =
    "a session's user token is given to the system account alone";

TEST(UpdateEndToEnd, ANewDesktopApplicationIsInstalledAndStartedForADesktopThatLeft) {
  if (!may_offer_updates()) GTEST_SKIP() << "only root may offer updates here";
  OMBREL_SYSTEM_ACCOUNT_ONLY(LAUNCH_NEEDS_THE_SYSTEM_ACCOUNT);
  Service service;
  TempDir offered("update-offered");
  const std::string& desktop = service.install().desktop;
  const std::string old_desktop = read_file(desktop).value_or("");
  const std::string app = new_build(offered.file("app.bin"), "desktop 9.1");
  const std::string same_service = read_file(service.exe()).value_or("");
  write_file(offered.file("svc.bin"), same_service);
  testsupport::set_script(desktop, "exit 0");
  const std::string line = update_line(offered.file("app.bin"), digest_of(app),
                                       offered.file("svc.bin"), digest_of(same_service));

  // Sent by a desktop that quits without its reply: the line ends with the
  // stream, so the client has surely gone before the request is handled.
  {
    auto client = platform::PipeClient::connect(service.pipe(), 30s);
    ASSERT_TRUE(client) << client.error().to_string();
    ASSERT_TRUE(client->write_all(std::string_view(line).substr(0, line.size() - 1)));
  }
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(desktop) == 1; }))
      << service.stderr_text();
  EXPECT_EQ(read_file(desktop), app);
  EXPECT_EQ(read_file(desktop + ".old"), old_desktop);
  EXPECT_TRUE(wait_until([&] { return !exists(service.record()); }));
  EXPECT_FALSE(exists(desktop + ".staged"));
  EXPECT_FALSE(exists(service.exe() + ".staged"));
  EXPECT_EQ(read_file(offered.file("app.bin")), app);
  // The same offer again changes nothing.
  EXPECT_EQ(service.ask(line),
            "{\"state\":\"error\",\"code\":\"already_current\",\"message\":\"эта версия уже "
            "установлена\"}\n");
}

// A new service build takes over, the old one answering until then. On
// Windows the service manager starts the new build ("restart") while the
// old one runs on from its backup, leaving it the record. No service manager
// restarts the Linux port: the process becomes the new build (the same id,
// the same arguments), whose start-up check launches the desktop application
// and consumes the record; nothing the old build held crosses over but its
// standard streams. A build the system cannot run leaves the old one
// serving, the record kept for the next start.
TEST(UpdateEndToEnd, ANewServiceTakesOver) {
  if (!may_offer_updates()) GTEST_SKIP() << "only root may offer updates here";
  struct Case {
    const char* name;
    std::function<std::string(const std::string& path)> build;
    std::function<void(Service&, std::uint32_t pid)> then;
  };
#ifdef _WIN32
  const Case cases[] = {
      {"a signed build",
       [](const std::string& path) {
         return new_build(path, "service 9.1", Signing::Ours, Role::Service);
       },
       [](Service& service, std::uint32_t) {
         EXPECT_TRUE(wait_until([&] {
           return testsupport::recorded_args(service.exe()) == std::vector<std::string>{"restart"};
         })) << service.stderr_text();
         EXPECT_TRUE(exists(service.record()));
         EXPECT_EQ(testsupport::run_count(service.install().desktop), 0);
       }},
  };
#else
  const std::string real =
      read_file(platform::join_path(testsupport::bin_dir(), "ombrel-service")).value_or("");
  ASSERT_FALSE(real.empty());
  const auto written = [](std::string bytes) {
    return [bytes](const std::string& path) {
      write_file(path, bytes);
      return bytes;
    };
  };
  const Case cases[] = {
      {"a build that runs", written(real + std::string("\0service 9.1", 12)),
       [](Service& service, std::uint32_t pid) {
         EXPECT_TRUE(service.said("обновление: приложение поднято\n")) << service.stderr_text();
         EXPECT_EQ(testsupport::run_count(service.install().desktop), 1);
         EXPECT_TRUE(wait_until([&] { return !exists(service.record()); }));
         const std::string proc = "/proc/" + std::to_string(pid);
         EXPECT_EQ(std::filesystem::read_symlink(proc + "/exe").string(), service.exe());
         // One socket (the new listener) and no log of the old build.
         int sockets = 0;
         for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd")) {
           std::error_code ec;
           const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
           sockets += target.starts_with("socket:") ? 1 : 0;
           EXPECT_FALSE(target.ends_with("service-diag.prev.log"));
         }
         EXPECT_EQ(sockets, 1);
       }},
      {"a build the system cannot run",
       written(std::string("\x7f"
                           "ELF\0not a program",
                           18)),
       [](Service& service, std::uint32_t) {
         EXPECT_TRUE(service.said("обновление: служба не перезапущена - не удалось запустить " +
                                  service.exe() + ": "));
         EXPECT_TRUE(exists(service.record()));
         EXPECT_EQ(testsupport::run_count(service.install().desktop), 0);
       }},
  };
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Service service(
        [](const InstallDir& install) { testsupport::set_script(install.desktop, "exit 0"); });
    // A new build that is a stand-in ends at once.
    testsupport::set_script(service.exe(), "exit 0");
    TempDir offered("update-offered");
    const std::string desktop_bytes = read_file(service.install().desktop).value_or("");
    const std::string old_service = read_file(service.exe()).value_or("");
    write_file(offered.file("app.bin"), desktop_bytes);
    const std::string build = c.build(offered.file("svc.bin"));
    const std::uint32_t pid = service.pid();

    // The sum in capitals is the same sum.
    std::string upper = digest_of(build);
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(service.ask(update_line(offered.file("app.bin"), digest_of(desktop_bytes),
                                      offered.file("svc.bin"), upper)),
              updating(true));
    if (platform::PROGRAM_REPLACEABLE) {
      EXPECT_TRUE(service.said("обновление: служба перезапускается из " + service.exe() + "\n"));
    }
    EXPECT_EQ(read_file(service.exe()), build);
    EXPECT_EQ(read_file(service.exe() + ".old"), old_service);
    c.then(service, pid);
    // The same process answers, wanting no connection.
    EXPECT_EQ(service.ask(STATUS), DISCONNECTED);
    EXPECT_TRUE(service.running());
    EXPECT_EQ(service.pid(), pid);
  }
}

TEST(UpdateEndToEnd, StartUpPutsBackTheDesktopAndFinishesThePendingUpdate) {
  OMBREL_SYSTEM_ACCOUNT_ONLY(LAUNCH_NEEDS_THE_SYSTEM_ACCOUNT);
  std::string desktop_bytes;
  Service service([&](const InstallDir& install) {
    desktop_bytes = read_file(install.desktop).value_or("");
    std::filesystem::rename(fs_path(install.desktop), fs_path(install.desktop + ".old"));
    write_file(install.file("update-pending.json"), "{\"version\":\"9.1\"}");
    testsupport::set_script(install.desktop, "exit 0");
  });
  const std::string name = testsupport::exe_name("ombrel-desktop");
  EXPECT_TRUE(service.said("обновление: вернул прежний " + name + "\n"));
  EXPECT_TRUE(service.said("обновление: приложение поднято\n"));
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(service.install().desktop) == 1; }));
  EXPECT_EQ(read_file(service.install().desktop), desktop_bytes);
  EXPECT_TRUE(wait_until([&] { return !exists(service.record()); }));
}

// Each offer is refused with the offered path named. A file that never gives
// its bytes (a FIFO without a writer) holds the channel no longer than
// staging's bounds: Linux never opens a FIFO for reading; Wine opens it
// without waiting and it is no file on a disk; real Windows has no FIFO, so
// that case is left out there. On Windows a folder on the way that is a link
// (made here, as the administrator the tests run as) is refused before the
// file is read, and only builds signed
// by the publisher of the running service, of the file they replace and
// newer than it are taken.
TEST(UpdateEndToEnd, RefusedOffersChangeNothingAndHoldNothing) {
  if (!may_offer_updates()) GTEST_SKIP() << "only root may offer updates here";
  Service service;
  TempDir offered("update-offered");
  const std::string svc_path = offered.file("svc.bin");
  const std::string svc = new_build(svc_path, "service 9.1", Signing::Ours, Role::Service);
  const std::string app = new_build(offered.file("app.bin"), "desktop 9.1");
  const std::string fifo = offered.file("never.fifo");
  const bool has_fifo = !testsupport::real_windows();
  const testsupport::HostFifo never(fifo);
  if (has_fifo) {
    ASSERT_TRUE(never.made());
    // Wine has no attributes for a FIFO, but lists it.
    bool listed = false;
    for (const auto& e : std::filesystem::directory_iterator(fs_path(offered.path()))) {
      listed = listed || e.path().filename() == "never.fifo";
    }
    ASSERT_TRUE(listed);
  }
#ifdef _WIN32
  const std::string links = offered.file("links");
  std::filesystem::create_directories(fs_path(links + "\\real"));
  const testsupport::FolderLink linked(links + "\\linked", links + "\\real");
  ASSERT_TRUE(linked.made());
  // A junction, which any user may make: real Windows only, since Wine
  // keeps the reparse points a Windows program makes in a form of its own.
  const bool has_junction = testsupport::real_windows();
  const testsupport::FolderLink joined(links + "\\joined", links + "\\real",
                                       testsupport::FolderLink::Kind::Junction);
  if (has_junction) {
    ASSERT_TRUE(joined.made());
  } else {
    std::cout << "under Wine no junction: the case through one runs on real Windows only\n";
  }
#endif
  struct Case {
    std::string name;
    std::string app_path;
    std::string app_sum;
    std::string text;
    std::string svc_sum;
  };
  std::vector<Case> cases = {
      {"a sum that does not match", offered.file("app.bin"), digest_of(app),
       "сумма " + svc_path + " не сошлась", digest_of(app)},
  };
  if (has_fifo) {
    cases.push_back(
        {"a file that never delivers", fifo, digest_of("MZ"), cannot_open(fifo), digest_of(svc)});
  }
#ifdef _WIN32
  std::vector<std::string> vias = {links + "\\linked\\app.bin",
                                   links + "\\linked\\..\\linked\\app.bin"};
  if (has_junction) vias.push_back(links + "\\joined\\app.bin");
  for (const std::string& via : vias) {
    cases.push_back({"through a link", via, digest_of(app), cannot_open(via), digest_of(svc)});
  }
  struct Offered {
    const char* name;
    Signing signing;
    const char* before;  // the message: before and after the offered path
    std::string after;
    Role role = Role::Desktop;
    std::array<unsigned, 4> version = {9, 1, 0, 0};
  };
  const Offered builds[] = {
      {"signed by another certificate", Signing::Theirs, "", " - подписан чужим сертификатом"},
      {"our name from another authority", Signing::Impostor, "", " - подписан чужим сертификатом"},
      {"unsigned", Signing::None, "", " - без подписи"},
      {"changed after signing", Signing::Damaged, "подпись ", " не сошлась"},
      {"bytes after the signature", Signing::Padded, "", " - лишние данные после подписи"},
      {"the service offered as the desktop application", Signing::Ours, "",
       " - не ombrel-desktop.exe", Role::Service},
      {"an older build",
       Signing::Ours,
       "",
       std::string(" - версия 0.9.0.0 не новее установленной ") + OMBREL_VERSION,
       Role::Desktop,
       {0, 9, 0, 0}},
  };
  for (const auto& b : builds) {
    const std::string path = offered.file("app" + std::to_string(cases.size()) + ".bin");
    const std::string bytes = new_build(path, "desktop 9.1", b.signing, b.role, b.version);
    cases.push_back({b.name, path, digest_of(bytes), b.before + path + b.after, digest_of(svc)});
  }
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    expect_refused(service, update_line(c.app_path, c.app_sum, svc_path, c.svc_sum), c.text);
    if (c.app_path == fifo) {
      EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
  }
#ifdef _WIN32
  // Taken by its own path, from a renewed certificate of our publisher.
  const std::string real = links + "\\real\\app.bin";
  const std::string renewed = new_build(real, "desktop 9.1", Signing::Renewed);
  testsupport::set_script(service.install().desktop, "exit 0");
  testsupport::set_script(service.exe(), "exit 0");
  EXPECT_EQ(service.ask(update_line(real, digest_of(renewed), svc_path, digest_of(svc))),
            updating(true));
#endif
}

#ifdef _WIN32
TEST(UpdateEndToEnd, AnUnsignedServiceTakesNoUpdate) {
  Service service({}, Build::Unsigned);
  TempDir offered("update-offered");
  const std::string app = new_build(offered.file("app.bin"), "desktop 9.1");
  const std::string svc = new_build(offered.file("svc.bin"), "service 9.1");
  expect_refused(
      service,
      update_line(offered.file("app.bin"), digest_of(app), offered.file("svc.bin"), digest_of(svc)),
      service.exe() + " - без действительной подписи, обновления не принимаются");
}

#ifdef OMBREL_HAS_DEV_SERVICE
TEST(UpdateEndToEnd, TheUnsignedDevelopmentVariantTakesUnsignedBuilds) {
  Service service({}, Build::Development);
  TempDir offered("update-offered");
  const std::string app = new_build(offered.file("app.bin"), "desktop 9.1", Signing::None);
  const std::string same_service = read_file(service.exe()).value_or("");
  write_file(offered.file("svc.bin"), same_service);
  testsupport::set_script(service.install().desktop, "exit 0");
  EXPECT_EQ(service.ask(update_line(offered.file("app.bin"), digest_of(app),
                                    offered.file("svc.bin"), digest_of(same_service))),
            updating(false));
  EXPECT_TRUE(wait_until([&] { return read_file(service.install().desktop) == app; }));
}
#endif
#else
// Only root may offer an update to the Linux port; anybody else is refused
// before any file is looked at.
TEST(UpdateEndToEnd, AnUpdateFromAnotherUserIsRefused) {
  Service service;
  TempDir offered("update-offered");
  const std::string app = new_build(offered.file("app.bin"), "desktop 9.1");
  const std::string svc = new_build(offered.file("svc.bin"), "service 9.1");
  const std::string line =
      update_line(offered.file("app.bin"), digest_of(app), offered.file("svc.bin"), digest_of(svc));
  const auto before = snapshot(service.install().path());
  const std::string reply =
      ::geteuid() == 0 ? testsupport::exchange_as_user(65534, platform::default_pipe_name(),
                                                       line.substr(0, line.size() - 1))
                       : service.ask(line);
  EXPECT_EQ(reply, failed_reply("обновление доступно только root"));
  EXPECT_TRUE(service.said("обновление не поставлено: обновление доступно только root\n"));
  EXPECT_EQ(snapshot(service.install().path()), before);
}
#endif

}  // namespace
}  // namespace ombrel::update_e2e
