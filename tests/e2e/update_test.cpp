// Self-update through the real service: ombrel-service "run" in a temporary
// installation folder receives update requests over the real pipe (Windows)
// or socket (Linux). New builds are stand-in programs with a few bytes
// appended, so that they differ from the installed ones and still run and
// record their starts.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/hash.hpp"
#include "platform/paths.hpp"
#include "platform/pipe.hpp"
#include "platform/process.hpp"
#include "testsupport.hpp"

namespace ombrel::update_e2e {
namespace {

using namespace std::chrono_literals;
using testsupport::fs_path;
using testsupport::InstallDir;
using testsupport::TempDir;
using testsupport::wait_until;

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string digest_of(std::string_view bytes) {
  return platform::to_hex(platform::sha256(bytes).value());
}

bool exists(const std::string& path) {
  return std::filesystem::exists(fs_path(path));
}

const std::string STATUS = "{\"cmd\":\"status\"}\n";
const std::string DISCONNECTED = "{\"state\":\"disconnected\"}\n";

// The service running from its own installation folder, its standard error
// collected. `prepare` runs on the folder before the service starts.
class Service {
 public:
  explicit Service(const std::function<void(const InstallDir&)>& prepare = {}) {
    service_exe_ = install_.file(testsupport::exe_name("ombrel-service"));
    std::filesystem::copy_file(
        fs_path(
            platform::join_path(testsupport::bin_dir(), testsupport::exe_name("ombrel-service"))),
        fs_path(service_exe_));
#ifndef _WIN32
    ::setenv("OMBREL_DATA_DIR", data_.path().c_str(), 1);
    ::setenv("OMBREL_PIPE", data_.file("service.sock").c_str(), 1);
#endif
    if (prepare) prepare(install_);
    pipe_ = platform::default_pipe_name();
    platform::SpawnOptions options;
    options.program = service_exe_;
    options.args = {"run"};
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Null;
    options.std_err = platform::Stdio::Pipe;
    auto process = platform::spawn(options);
    if (!process) {
      ADD_FAILURE() << "cannot start the service: " << process.error().to_string();
      return;
    }
    process_ = std::move(*process);
    err_reader_ = std::thread([this, err = process_.take_stderr()]() mutable {
      std::array<char, 4096> buf;
      while (err) {
        auto n = err->read(buf);
        if (!n || *n == 0) break;
        std::lock_guard lock(mutex_);
        err_.append(buf.data(), *n);
      }
    });
    EXPECT_EQ(ask(STATUS, 60s), DISCONNECTED) << "the service does not answer";
  }

  ~Service() {
    (void)process_.terminate(1);
    (void)process_.wait();
    if (err_reader_.joinable()) err_reader_.join();
  }

  std::string ask(std::string_view line, std::chrono::milliseconds patience = 60s) {
    auto reply = platform::pipe_exchange(pipe_, line, patience);
    if (reply) return *reply;
    // Appended: g++ 12 at -O3 reports a false overlap for "literal" + std::string&&.
    std::string failed = "(";
    failed += reply.error().to_string();
    failed += ")";
    return failed;
  }

  bool said(std::string_view text, std::chrono::milliseconds timeout = 30s) {
    return wait_until(
        [&] {
          std::lock_guard lock(mutex_);
          return err_.find(text) != std::string::npos;
        },
        timeout);
  }
  std::string stderr_text() {
    std::lock_guard lock(mutex_);
    return err_;
  }

  const InstallDir& install() const {
    return install_;
  }
  const std::string& service_exe() const {
    return service_exe_;
  }
  std::string record() const {
    return install_.file("update-pending.json");
  }

 private:
  InstallDir install_{"update-e2e"};
  TempDir data_{"update-data"};
  std::string service_exe_;
  std::string pipe_;
  platform::Process process_;
  std::mutex mutex_;
  std::string err_;
  std::thread err_reader_;
};

std::string update_line(const std::string& app, const std::string& app_sum,
                        const std::string& service, const std::string& service_sum) {
  return nlohmann::json{{"cmd", "update"},         {"version", "9.1"},
                        {"app_path", app},         {"app_sha256", app_sum},
                        {"service_path", service}, {"service_sha256", service_sum}}
             .dump() +
         "\n";
}

// A runnable copy of the stand-in desktop that differs from it by `tag`.
std::string new_build(const std::string& path, std::string_view tag) {
  std::string bytes = read_file(platform::join_path(testsupport::bin_dir(),
                                                    testsupport::exe_name("standin-desktop")))
                          .value_or("");
  EXPECT_FALSE(bytes.empty());
  bytes += '\0';
  bytes += tag;
  write_file(path, bytes);
  return bytes;
}

TEST(UpdateEndToEnd, ANewDesktopApplicationIsInstalledAndStarted) {
  Service service;
  TempDir offered("update-offered");
  const std::string& desktop = service.install().desktop;
  const std::string old_desktop = read_file(desktop).value_or("");
  const std::string app = new_build(offered.file("app.bin"), "desktop 9.1");
  const std::string same_service = read_file(service.service_exe()).value_or("");
  write_file(offered.file("svc.bin"), same_service);
  testsupport::set_script(desktop, "exit 0");

  EXPECT_EQ(service.ask(update_line(offered.file("app.bin"), digest_of(app),
                                    offered.file("svc.bin"), digest_of(same_service))),
            "{\"state\":\"updating\",\"version\":\"9.1\",\"tunnel_drops\":false}\n");
  EXPECT_TRUE(wait_until([&] { return testsupport::run_count(desktop) == 1; }))
      << service.stderr_text();
  EXPECT_EQ(read_file(desktop), app);
  EXPECT_EQ(read_file(desktop + ".old"), old_desktop);
  EXPECT_TRUE(wait_until([&] { return !exists(service.record()); }));
  EXPECT_FALSE(exists(desktop + ".staged"));
  EXPECT_FALSE(exists(service.service_exe() + ".staged"));
  // The offered files stay where they were.
  EXPECT_EQ(read_file(offered.file("app.bin")), app);

  // The same offer again changes nothing.
  EXPECT_EQ(service.ask(update_line(offered.file("app.bin"), digest_of(app),
                                    offered.file("svc.bin"), digest_of(same_service))),
            "{\"state\":\"error\",\"code\":\"already_current\",\"message\":\"эта версия уже "
            "установлена\"}\n");
}

TEST(UpdateEndToEnd, ANewServiceIsStartedWithRestartWhileTheOldOneRunsOn) {
  Service service;
  TempDir offered("update-offered");
  const std::string desktop_bytes = read_file(service.install().desktop).value_or("");
  write_file(offered.file("app.bin"), desktop_bytes);
  const std::string svc = new_build(offered.file("svc.bin"), "service 9.1");
  testsupport::set_script(service.service_exe(), "exit 0");

  std::string upper = digest_of(svc);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(service.ask(update_line(offered.file("app.bin"), digest_of(desktop_bytes),
                                    offered.file("svc.bin"), upper)),
            "{\"state\":\"updating\",\"version\":\"9.1\",\"tunnel_drops\":true}\n");
  EXPECT_TRUE(wait_until([&] {
    return testsupport::recorded_args(service.service_exe()) == std::vector<std::string>{"restart"};
  })) << service.stderr_text();
  EXPECT_EQ(read_file(service.service_exe()), svc);
  EXPECT_TRUE(exists(service.service_exe() + ".old"));
  // Left for the restarted service, which consumes it at its start.
  EXPECT_TRUE(exists(service.record()));
  EXPECT_EQ(testsupport::run_count(service.install().desktop), 0);
  // The old service runs on from its backup.
  EXPECT_EQ(service.ask(STATUS), DISCONNECTED);
}

TEST(UpdateEndToEnd, AMismatchingFileIsRefusedWithItsPath) {
  Service service;
  TempDir offered("update-offered");
  const std::string app = new_build(offered.file("app.bin"), "desktop 9.1");
  const std::string svc = new_build(offered.file("svc.bin"), "service 9.1");
  const std::string line =
      update_line(offered.file("app.bin"), digest_of(app), offered.file("svc.bin"), digest_of(app));
  std::string text = "сумма ";
  text += offered.file("svc.bin");
  text += " не сошлась";
  // Paths hold backslashes on Windows: the message is written as JSON text.
  std::string reply = "{\"state\":\"error\",\"code\":\"update_failed\",\"message\":";
  reply += nlohmann::json(text).dump();
  reply += "}\n";
  EXPECT_EQ(service.ask(line), reply);
  EXPECT_TRUE(service.said("обновление не поставлено: " + text));
  EXPECT_FALSE(exists(service.record()));
  EXPECT_FALSE(exists(service.install().desktop + ".old"));
  EXPECT_FALSE(exists(service.install().desktop + ".staged"));
}

TEST(UpdateEndToEnd, StartUpPutsBackTheDesktopAndFinishesThePendingUpdate) {
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

}  // namespace
}  // namespace ombrel::update_e2e
