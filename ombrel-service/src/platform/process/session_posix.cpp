#include "platform/files/paths.hpp"
#include "platform/process/process.hpp"
#include "platform/process/session.hpp"

namespace ombrel::platform {

const char* const DESKTOP_EXE_NAME = "ombrel-desktop";

// There are no sessions to cross here: the service's own detached child is
// as close to "the user's session" as a development port gets.
Result<void> launch_in_user_session(const std::string& install_dir) {
  const std::string program = join_path(install_dir, DESKTOP_EXE_NAME);
  if (!spawn_detached(program, {}, install_dir)) return fail(std::string(DESKTOP_NOT_STARTED));
  return {};
}

}  // namespace ombrel::platform
