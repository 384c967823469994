#pragma once
// Installing, removing and restarting the service through the service
// control manager: the command words "install", "uninstall" and "restart".
// Each returns success or an error whose outer message says which step
// failed, over the system's error.
#include <functional>
#include <string_view>

#include "base/error.hpp"
#include "host/console.hpp"
#include "platform/host/service.hpp"
#include "platform/trust/install_folder.hpp"

namespace ombrel::host {

// The refusal of `install` in a folder others may write, and the start's
// diagnostic line for one; the folder follows.
inline constexpr std::string_view UNSAFE_FOLDER = platform::UNSAFE_INSTALL_FOLDER;

// Creates the service, or points an existing one at this executable, sets
// its description and starts it unless it runs; prints the success line.
Result<void> install_service();
// Stops the service (waiting up to 10 seconds), deletes it, prints the line.
Result<void> uninstall_service();
// Stops the service, waits up to about 10 seconds, starts it again. Silent.
Result<void> restart_service();

// The same against any manager, for tests. `judge_folder` refuses an unsafe
// installation folder; it runs once the manager is open, before any change.
Result<void> install_service(platform::ServiceControl& control, const Console& console,
                             const std::function<Result<void>()>& judge_folder = {});
Result<void> uninstall_service(platform::ServiceControl& control, const Console& console);
Result<void> restart_service(platform::ServiceControl& control);

// The settings the service is registered with, for the executable at
// `exe_path` (quoted when it needs it).
platform::ServiceSettings service_settings(std::string_view exe_path);

}  // namespace ombrel::host
