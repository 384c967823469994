#pragma once
// A temporary installation folder, a folder of offered files, and update
// dependencies that record what they are asked to do instead of doing it.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_clock.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/trust/hash.hpp"
#include "selfupdate/internal.hpp"
#include "selfupdate/update.hpp"
#include "testsupport.hpp"

namespace ombrel::selfupdate::test {

using testsupport::fs_path;

// A file this platform takes for a program, whatever follows the mark.
inline std::string program(std::string_view body) {
  return std::string(internal::PROGRAM_MARK) + std::string(body);
}

inline std::string digest_of(std::string_view bytes) {
  return platform::to_hex(platform::sha256(bytes).value());
}

inline void write(const std::string& path, std::string_view bytes) {
  std::ofstream out(fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::optional<std::string> read(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Every entry of a folder with its content ("<dir>" for folders) and
// last-write time: equal snapshots mean nothing was written, moved or touched.
inline std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(fs_path(dir))) {
    const std::string path = testsupport::utf8_path(entry.path());
    std::string content = entry.is_directory() ? "<dir>" : read(path).value_or("?");
    content += " @" + std::to_string(platform::last_write_ms(path).value_or(-1));
    entries[testsupport::utf8_path(entry.path().filename())] = content;
  }
  return entries;
}

class UpdateFixture {
 public:
  // An installation never lives in a profile's %TEMP%.
  testsupport::TempDir install{"upd-install", testsupport::Where::BelowRoot};
  testsupport::TempDir offered{"upd-offered"};
  testsupport::FakeClock clock;

  std::vector<std::string> lines;                // written to standard error
  std::vector<std::string> launches;             // folders the desktop was launched from
  std::vector<std::vector<std::string>> starts;  // program and arguments started
  std::vector<std::function<void()>> jobs;       // detached jobs, not yet run
  int polls = 0;
  int sleeps = 0;
  // Whether the n-th look at the process list (from 0) sees a desktop application.
  std::function<bool(int)> desktop_at = [](int) { return false; };
  bool list_fails = false;
  Result<void> launch_result = {};
  UpdateDeps deps;

  const std::string desktop = install.file(DESKTOP_EXE);
  const std::string service = install.file(SERVICE_EXE);
  const std::string record = install.file(PENDING_RECORD);

  UpdateFixture() {
    deps.install_dir = [this]() -> Result<std::string> { return install.path(); };
    deps.clock = &clock;
    deps.list_processes = [this]() -> Result<std::vector<platform::ProcessEntry>> {
      const int n = polls++;
      if (list_fails) return fail("no list");
      std::vector<platform::ProcessEntry> list = {{1, "init"}, {2, "xray.exe"}};
      if (desktop_at(n)) list.push_back({3, DESKTOP_EXE});
      return list;
    };
    deps.sleep = [this](std::chrono::milliseconds ms) {
      ++sleeps;
      clock.advance_ms(ms.count());
    };
    deps.launch_desktop = [this](const std::string& dir) {
      launches.push_back(dir);
      return launch_result;
    };
    deps.start_program = [this](const std::string& program,
                                const std::vector<std::string>& args) -> Result<void> {
      std::vector<std::string> call = {program};
      call.insert(call.end(), args.begin(), args.end());
      starts.push_back(std::move(call));
      return {};
    };
    deps.run_detached = [this](std::function<void()> job) { jobs.push_back(std::move(job)); };
    deps.write_stderr = [this](std::string_view line) { lines.emplace_back(line); };
  }

  // Version 1 installed, version 2 offered.
  UpdateFields offer(std::string_view app_body = "desktop v2",
                     std::string_view service_body = "service v2") {
    write(desktop, program("desktop v1"));
    write(service, program("service v1"));
    const std::string app = offered.file("app.bin");
    const std::string svc = offered.file("svc.bin");
    write(app, program(app_body));
    write(svc, program(service_body));
    // From root, who alone may offer updates on the Linux port.
    return UpdateFields{
        "1.2.3", app, digest_of(program(app_body)), svc, digest_of(program(service_body)), 0u};
  }
};

}  // namespace ombrel::selfupdate::test
