#pragma once
// ombrel-service "run" from an installation folder of its own, as the
// end-to-end tests drive it over the real pipe (Windows) or socket (Linux),
// with its standard error collected for the messages it writes.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/channel/pipe.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "testsupport.hpp"

#ifndef _WIN32
#include <stdlib.h>
#endif

namespace ombrel::e2e {

inline std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(testsupport::fs_path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(testsupport::fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The reply, or the failure in parentheses, so that a comparison with the
// expected reply shows why it failed.
inline std::string reply_or_error(const Result<std::string>& reply) {
  if (reply) return *reply;
  // Appended: g++ 12 at -O3 reports a false overlap for "literal" + std::string&&.
  std::string failed = "(";
  failed += reply.error().to_string();
  failed += ")";
  return failed;
}

// An update's refusal as the service writes it: paths hold backslashes on
// Windows, so the message is JSON text.
inline std::string failed_reply(const std::string& text) {
  return "{\"state\":\"error\",\"code\":\"update_failed\",\"message\":" +
         nlohmann::json(text).dump() + "}\n";
}

// Every entry of a folder with its content: equal snapshots, nothing changed.
inline std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(testsupport::fs_path(dir))) {
    entries[testsupport::utf8_path(entry.path().filename())] =
        read_file(testsupport::utf8_path(entry.path())).value_or("<dir>");
  }
  return entries;
}

inline const std::string STATUS = "{\"cmd\":\"status\"}\n";
inline const std::string DISCONNECTED = "{\"state\":\"disconnected\"}\n";

struct ServiceSetup {
  explicit ServiceSetup(std::string folders = "e2e") : name(std::move(folders)) {}

  std::string name;                      // names its folders
  std::string built = "ombrel-service";  // the build installed under the service's name
  // Runs on the folder, with the installed service's path, before the start.
  std::function<void(const testsupport::InstallDir&, const std::string&)> prepare;
  // How long the first status may take (the first Wine program of a run may
  // wait for the prefix to set up its desktop).
  std::chrono::milliseconds first_answer = std::chrono::seconds(60);
};

class RunningService {
 public:
  explicit RunningService(const ServiceSetup& setup = ServiceSetup())
      : install_(setup.name), data_(setup.name + "-data") {
    exe_ = install_.file(testsupport::exe_name("ombrel-service"));
    std::filesystem::copy_file(testsupport::fs_path(platform::join_path(
                                   testsupport::bin_dir(), testsupport::exe_name(setup.built))),
                               testsupport::fs_path(exe_));
#ifndef _WIN32
    ::setenv("OMBREL_DATA_DIR", data_.path().c_str(), 1);
    // Beside the data folder, not in it: that folder is the service's alone,
    // and tests talk to the service as other users too.
    ::setenv("OMBREL_PIPE", channel_.file("service.sock").c_str(), 1);
#endif
    if (setup.prepare) setup.prepare(install_, exe_);
    pipe_ = platform::default_pipe_name();

    platform::SpawnOptions options;
    options.program = exe_;
    options.args = {"run"};
    options.std_in = platform::Stdio::Null;
    options.std_out = platform::Stdio::Null;
    options.std_err = platform::Stdio::Pipe;
    // As under the service control manager, the service has no console.
    options.no_console = true;
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
    EXPECT_EQ(ask(STATUS, setup.first_answer), DISCONNECTED) << "the service does not answer";
  }

  RunningService(const RunningService&) = delete;
  RunningService& operator=(const RunningService&) = delete;

  ~RunningService() {
    (void)process_.terminate(1);
    (void)process_.wait();
    if (err_reader_.joinable()) err_reader_.join();
  }

  Result<std::string> exchange(std::string_view bytes,
                               std::chrono::milliseconds patience = std::chrono::seconds(30)) {
    return platform::pipe_exchange(pipe_, bytes, patience);
  }
  std::string ask(std::string_view bytes,
                  std::chrono::milliseconds patience = std::chrono::seconds(60)) {
    return reply_or_error(exchange(bytes, patience));
  }

  std::string stderr_text() {
    std::lock_guard lock(mutex_);
    return err_;
  }
  bool said(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return testsupport::wait_until([&] { return stderr_text().find(text) != std::string::npos; },
                                   timeout);
  }
  // Killed outright (SIGKILL, TerminateProcess), with no chance to clean up.
  Result<void> kill() {
    OMBREL_TRY(process_.terminate(9));
    OMBREL_TRY(process_.wait());
    return {};
  }
  bool running() {
    return process_.try_wait().value_or(std::optional<int>(-1)) == std::nullopt;
  }

  std::uint32_t pid() const {
    return process_.pid();
  }

  const testsupport::InstallDir& install() const {
    return install_;
  }
  const std::string& exe() const {
    return exe_;
  }
  const std::string& pipe() const {
    return pipe_;
  }

 private:
  testsupport::InstallDir install_;
  testsupport::TempDir data_;
  testsupport::TempDir channel_{"channel"};
  std::string exe_;
  std::string pipe_;
  platform::Process process_;
  std::mutex mutex_;
  std::string err_;
  std::thread err_reader_;
};

}  // namespace ombrel::e2e
