// The threads that finish an update, the start-up repair, and the request
// handling's entry.
#include <algorithm>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "base/text.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/host/console.hpp"
#include "platform/host/event_log.hpp"
#include "platform/process/process.hpp"
#include "platform/process/session.hpp"
#include "platform/trust/trust.hpp"
#include "platform/trust/version.hpp"
#include "selfupdate/internal.hpp"
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

namespace {

constexpr auto DESKTOP_EXIT_WAIT = std::chrono::seconds(15);
constexpr auto DESKTOP_EXIT_POLL = std::chrono::milliseconds(200);
constexpr std::int64_t BACKUP_MAX_AGE_MS = 86400000;

std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Windows names a process by the file it was started from. Linux names it by
// the name it was started under while that name still leads to its file, or
// by the name the file was moved to (the backup's, where the file system
// could not keep the backup as a second name).
bool is_desktop_process(const platform::ProcessEntry& entry) {
  const std::string name = ascii_lower(entry.exe_name);
  return name == DESKTOP_EXE || name == backup_path(DESKTOP_EXE);
}

// A failed enumeration counts as "still running": better late than starting
// a second desktop application beside the old one.
bool desktop_running(const UpdateDeps& deps) {
  auto processes = deps.list_processes();
  if (!processes) return true;
  for (const auto& entry : *processes) {
    if (is_desktop_process(entry)) return true;
  }
  return false;
}

// A refusal may name an offered path, which is the client's text.
void line(const UpdateDeps& deps, const std::string& text,
          std::optional<platform::EventKind> event = std::nullopt) {
  deps.write_stderr(escape_controls(text) + "\n");
  if (event) platform::report_event(*event, escape_controls(text));
}

std::mutex& replacer_mutex() {
  static std::mutex mutex;
  return mutex;
}
ServiceReplacer& service_replacer() {
  static ServiceReplacer replacer;
  return replacer;
}

}  // namespace

void set_service_replacer(ServiceReplacer replacer) {
  const std::lock_guard lock(replacer_mutex());
  service_replacer() = std::move(replacer);
}

const UpdateDeps& real_deps() {
  static const UpdateDeps deps = [] {
    UpdateDeps d;
    d.install_dir = [] { return platform::install_dir(); };
    d.clock = &system_clock();
    d.list_processes = [] { return platform::list_processes(); };
    d.sleep = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
    d.launch_desktop = [](const std::string& dir) { return platform::launch_in_user_session(dir); };
    d.start_program = [](const std::string& program,
                         const std::vector<std::string>& args) -> Result<void> {
      // Detached: the restart stops the very service that starts it and must
      // not end with it.
      auto pid = platform::spawn_detached(program, args, std::nullopt);
      if (!pid) return fail(pid.error());
      return {};
    };
    d.run_detached = [](std::function<void()> job) { std::thread(std::move(job)).detach(); };
    d.write_stderr = [](std::string_view text) { platform::write_stderr(text); };
    static UpdateBar bar;
    d.bar = &bar;
    d.install_folder_safe = [] { return internal::install_folder_marked_safe(); };
    if (platform::PROGRAMS_CARRY_SIGNATURES) {
      d.program_signature = [](const std::string& path) {
        return platform::program_signature(path);
      };
      d.own_executable = [] { return platform::current_exe_path(); };
      d.program_version = [](const std::string& path) { return platform::program_version(path); };
      d.unsigned_updates_allowed = UNSIGNED_UPDATES_ALLOWED;
    } else {
      // Nothing in the file tells who made it: whoever offers it must be
      // the one who may install programs anyway.
      d.root_callers_only = true;
    }
    if (platform::PROGRAM_REPLACEABLE) {
      d.replace_service = [](const std::string& program) -> Result<void> {
        ServiceReplacer replacer;
        {
          const std::lock_guard lock(replacer_mutex());
          replacer = service_replacer();
        }
        return replacer ? replacer(program) : platform::replace_program(program);
      };
    }
    return d;
  }();
  return deps;
}

void wait_desktop_exit(const UpdateDeps& deps) {
  const auto deadline = deps.clock->monotonic() + DESKTOP_EXIT_WAIT;
  while (deps.clock->monotonic() < deadline) {
    if (!desktop_running(deps)) return;
    deps.sleep(DESKTOP_EXIT_POLL);
  }
}

void finish_update(bool app_replaced, bool service_replaced, const UpdateDeps& deps) {
  (void)app_replaced;  // only a replaced service changes the course
  auto dir = deps.install_dir();
  if (!dir) return;
  wait_desktop_exit(deps);
  if (service_replaced) {
    // The restarted service relaunches the desktop application and clears
    // the pending record.
    if (deps.at_step) deps.at_step("restarting");
    const std::string service = platform::join_path(*dir, SERVICE_EXE);
    if (deps.replace_service) {
      // No service manager to restart it: the process becomes the new build
      // and this call does not return, unless that failed. Then the old
      // build serves on and the record waits for the next start.
      auto replaced = context(deps.replace_service(service), "не удалось запустить " + service);
      if (!replaced) {
        line(deps, "обновление: служба не перезапущена - " + replaced.error().to_string());
      }
      return;
    }
    (void)deps.start_program(service, {"restart"});
    return;
  }
  (void)deps.launch_desktop(*dir);
  internal::FolderMoves moves(deps, nullptr);
  (void)moves.discard(platform::join_path(*dir, PENDING_RECORD));
}

namespace {

// What the update's own moves leave in the folder when a handle kept a
// file: "{name}.{ms}.gone" (renamed aside to be deleted) and
// "{program}.staged.{ms}" (staged beside a leftover). Nothing else there is
// ours to remove.
bool is_update_leftover(std::string_view entry) {
  for (const std::string_view name :
       {std::string_view(DESKTOP_EXE), std::string_view(SERVICE_EXE), PENDING_RECORD}) {
    if (platform::is_gone_name(entry, name)) return true;
    if (entry.starts_with(name) && entry.substr(name.size()).starts_with(".staged.")) return true;
  }
  return false;
}

}  // namespace

void startup_update_check(const UpdateDeps& deps) {
  auto dir = deps.install_dir();
  if (!dir) return;
  // Every user may open what lies in the folder, and hold it.
  internal::FolderMoves moves(deps, nullptr);
  {
    const std::lock_guard lock(internal::install_folder_lock());
    std::vector<std::string> restored;
    for (const char* name : {DESKTOP_EXE, SERVICE_EXE}) {
      const std::string exe = platform::join_path(*dir, name);
      // A staged copy is only ever left by a run that ended while staging.
      (void)moves.discard(staged_path(exe));
      const std::string old = backup_path(exe);
      if (!platform::path_exists(exe) && platform::path_exists(old) && moves.rename(old, exe)) {
        restored.emplace_back(name);
      }
    }
    for (const auto& name : restored) line(deps, "обновление: вернул прежний " + name);
    // Each update that met a held file may leave one such name; the holder
    // has mostly let go by the next start.
    for (const std::string& entry :
         platform::folder_entries(*dir).value_or(std::vector<std::string>{})) {
      if (is_update_leftover(entry)) (void)moves.remove(platform::join_path(*dir, entry));
    }

    const std::int64_t now = std::max<std::int64_t>(deps.clock->wall_ms(), 0);
    for (const char* name : {DESKTOP_EXE, SERVICE_EXE}) {
      const std::string old = backup_path(platform::join_path(*dir, name));
      if (!platform::path_exists(old)) continue;
      auto written = platform::last_write_ms(old);
      if (!written) continue;
      const std::int64_t age = now > *written ? now - *written : 0;
      if (age > BACKUP_MAX_AGE_MS) (void)moves.discard(old);
    }
  }

  const std::string pending = platform::join_path(*dir, PENDING_RECORD);
  if (!platform::path_exists(pending)) return;
  wait_desktop_exit(deps);
  if (auto launched = deps.launch_desktop(*dir)) {
    line(deps, "обновление: приложение поднято");
  } else {
    line(deps, "обновление: приложение не поднято - " + launched.error().to_string());
  }
  (void)moves.discard(pending);
}

UpdateDecision handle_update(const UpdateFields& fields, const UpdateDeps& deps) {
  bool first = false;
  if (auto refusal = internal::barred(fields, deps, first)) {
    // Said once per bar: a process that keeps asking must not flood the log.
    if (first)
      line(deps, "обновление не поставлено: " + *refusal, platform::EventKind::UpdateRefused);
    return UpdateFailed{std::move(*refusal)};
  }
  bool out_of_time = false;
  auto staged = internal::stage(fields, deps, out_of_time);
  if (!staged) {
    if (out_of_time) internal::bar_caller(fields, deps);
    std::string text = staged.error().to_string();
    line(deps, "обновление не поставлено: " + text, platform::EventKind::UpdateRefused);
    return UpdateFailed{std::move(text)};
  }
  const UpdateOutcome outcome = *staged;
  if (!outcome.app_replaced && !outcome.service_replaced) return AlreadyCurrent{};
  std::string replaced = outcome.app_replaced ? DESKTOP_EXE : "";
  if (outcome.service_replaced)
    replaced += replaced.empty() ? SERVICE_EXE : std::string(", ") + SERVICE_EXE;
  line(deps, "обновление поставлено: " + replaced, platform::EventKind::UpdateApplied);
  deps.run_detached(
      [outcome, deps] { finish_update(outcome.app_replaced, outcome.service_replaced, deps); });
  return UpdateAccepted{outcome.service_replaced};
}

}  // namespace ombrel::selfupdate
