#include "host/service_setup.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "host/identity.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/cmdline.hpp"
#include "platform/trust/install_folder.hpp"

namespace ombrel::host {
namespace {

using namespace std::chrono_literals;
namespace scm = platform::scm;

constexpr std::uint32_t INSTALL_MANAGER_ACCESS = scm::RIGHT_CONNECT | scm::RIGHT_CREATE_SERVICE;
constexpr std::uint32_t INSTALL_SERVICE_ACCESS =
    scm::RIGHT_CHANGE_CONFIG | scm::RIGHT_QUERY_STATUS | scm::RIGHT_START;
constexpr std::uint32_t UNINSTALL_SERVICE_ACCESS =
    scm::RIGHT_QUERY_STATUS | scm::RIGHT_STOP | scm::RIGHT_DELETE;
constexpr std::uint32_t RESTART_SERVICE_ACCESS =
    scm::RIGHT_QUERY_STATUS | scm::RIGHT_START | scm::RIGHT_STOP;
static_assert(INSTALL_MANAGER_ACCESS == 0x3);
static_assert(INSTALL_SERVICE_ACCESS == 0x16);
static_assert(UNINSTALL_SERVICE_ACCESS == 0x10024);
static_assert(RESTART_SERVICE_ACCESS == 0x34);

constexpr const char* NEEDS_ADMIN = "нет доступа к диспетчеру служб - нужны права администратора";

// A service that dies comes back by itself: without this the machine stays
// without its tunnel, and the pipe's name free for anyone to take, until
// someone restarts it by hand.
platform::FailureActions restart_on_failure() {
  return {.reset_after_s = 24 * 60 * 60,
          .restart_delays_ms = {5'000, 10'000, 30'000},
          .on_non_crash_failures = true};
}

Result<platform::ServiceSettings> own_settings(platform::ServiceControl& control) {
  auto path = context(control.own_executable_path(), "не удалось определить путь службы");
  if (!path) return fail(path.error());
  return service_settings(*path);
}

// The service would run as the system account from this folder: refused
// unless only administrators may change it (platform/trust/install_folder.hpp).
// Judged with the accounts the service will trust, not the installing
// administrator's: a folder only that administrator may write would install
// cleanly and then refuse every update without a word to anybody. The
// service judges again at every start as itself.
Result<void> check_install_folder() {
  auto dir = platform::install_dir();
  if (!dir) return fail(dir.error());
  const std::string refusal = std::string(UNSAFE_FOLDER) + *dir;
  auto safe = platform::is_safe_install_folder(*dir, platform::JudgedBy::Service);
  if (!safe) return fail(std::move(safe.error()).wrapped(refusal));
  if (!*safe) return fail(refusal);
  return {};
}

}  // namespace

platform::ServiceSettings service_settings(std::string_view exe_path) {
  platform::ServiceSettings settings;
  settings.name = std::string(SERVICE_NAME);
  settings.display_name = std::string(DISPLAY_NAME);
  settings.binary_path = platform::quote_windows_argument(exe_path);
  return settings;
}

Result<void> install_service(platform::ServiceControl& control, const Console& console,
                             const std::function<Result<void>()>& judge_folder) {
  auto manager = context(control.open_manager(INSTALL_MANAGER_ACCESS), NEEDS_ADMIN);
  if (!manager) return fail(manager.error());
  // Judged once the manager has let us in, so that a prompt without
  // administrator rights hears that first; still before anything changes.
  if (judge_folder) OMBREL_TRY(judge_folder());

  std::unique_ptr<platform::Service> service;
  if (auto existing = (*manager)->open_service(SERVICE_NAME, INSTALL_SERVICE_ACCESS)) {
    service = std::move(*existing);
    auto settings = own_settings(control);
    if (!settings) return fail(settings.error());
    OMBREL_TRY(
        context(service->change_config(*settings), "не удалось обновить путь к файлу службы"));
  } else {
    // Whatever kept it from opening, creating it says what is really wrong.
    auto settings = own_settings(control);
    if (!settings) return fail(settings.error());
    auto created = context((*manager)->create_service(*settings, INSTALL_SERVICE_ACCESS),
                           "не удалось создать службу");
    if (!created) return fail(created.error());
    service = std::move(*created);
  }

  OMBREL_TRY(context(service->set_description(DESCRIPTION), "не удалось задать описание службы"));
  OMBREL_TRY(context(service->set_failure_actions(restart_on_failure()),
                     "не удалось задать перезапуск службы после сбоя"));
  // Before the start, so that the service's first event already has its
  // source; the messages are in this executable's table.
  auto exe = control.own_executable_path();
  if (!exe) return fail(exe.error());
  OMBREL_TRY(context(control.register_event_source(SERVICE_NAME, *exe),
                     "не удалось зарегистрировать источник событий"));
  auto state = service->query_state();
  if (!state) return fail(state.error());
  // A service that already runs keeps its old executable until its next start.
  if (*state != scm::STATE_RUNNING) {
    OMBREL_TRY(context(service->start(), "не удалось запустить службу"));
  }
  console.out("служба " + std::string(SERVICE_NAME) + " установлена и запущена\n");
  return {};
}

Result<void> uninstall_service(platform::ServiceControl& control, const Console& console) {
  auto manager = context(control.open_manager(scm::RIGHT_CONNECT), NEEDS_ADMIN);
  if (!manager) return fail(manager.error());
  auto service = context((*manager)->open_service(SERVICE_NAME, UNINSTALL_SERVICE_ACCESS),
                         "служба не найдена");
  if (!service) return fail(service.error());

  auto state = (*service)->query_state();
  if (!state) return fail(state.error());
  if (*state != scm::STATE_STOPPED) {
    (void)(*service)->send_stop();
    // A service that ignores the stop is deleted all the same: the deletion
    // completes when it finally stops.
    for (int round = 0; round < 20; ++round) {
      control.sleep(500ms);
      state = (*service)->query_state();
      if (!state) return fail(state.error());
      if (*state == scm::STATE_STOPPED) break;
    }
  }
  OMBREL_TRY(context((*service)->remove(), "не удалось удалить службу"));
  OMBREL_TRY(
      context(control.remove_event_source(SERVICE_NAME), "не удалось удалить источник событий"));
  console.out("служба " + std::string(SERVICE_NAME) + " удалена\n");
  return {};
}

Result<void> restart_service(platform::ServiceControl& control) {
  auto manager =
      context(control.open_manager(scm::RIGHT_CONNECT), "нет доступа к диспетчеру служб");
  if (!manager) return fail(manager.error());
  auto service =
      context((*manager)->open_service(SERVICE_NAME, RESTART_SERVICE_ACCESS), "служба не найдена");
  if (!service) return fail(service.error());

  // A service that is already stopped refuses the stop; that is fine.
  (void)(*service)->send_stop();
  for (int round = 0; round < 50; ++round) {
    const auto state = (*service)->query_state();
    if (state && *state == scm::STATE_STOPPED) break;
    control.sleep(200ms);
  }
  // Started whatever state was reached: a service still stopping refuses,
  // and that refusal is the error to show.
  return context((*service)->start(), "не удалось поднять службу заново");
}

Result<void> install_service() {
  OMBREL_TRY(platform::service_manager_present());
  return install_service(platform::system_service_control(), system_console(),
                         check_install_folder);
}

Result<void> uninstall_service() {
  OMBREL_TRY(platform::service_manager_present());
  return uninstall_service(platform::system_service_control(), system_console());
}

Result<void> restart_service() {
  OMBREL_TRY(platform::service_manager_present());
  return restart_service(platform::system_service_control());
}

}  // namespace ombrel::host
