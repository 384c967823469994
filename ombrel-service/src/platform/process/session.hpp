#pragma once
// Starting the desktop application for the person at the computer. The
// service runs as the system account, apart from every user's desktop; the
// application has to appear in the active console session, under that
// user's own account and environment, on the interactive desktop.
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace ombrel::platform {

// The desktop application's file name: "ombrel-desktop.exe" on Windows,
// "ombrel-desktop" on Linux.
extern const char* const DESKTOP_EXE_NAME;

// The fixed failure sentences.
inline constexpr std::string_view NO_CONSOLE_SESSION = "за компьютером сейчас никого нет";
inline constexpr std::string_view NO_USER_TOKEN =
    "не получить токен вошедшего - вероятно, никто не вошёл";
inline constexpr std::string_view TOKEN_NOT_DUPLICATED = "не размножить токен";
inline constexpr std::string_view DESKTOP_NOT_STARTED = "не запустить приложение в сеансе человека";

// Starts the desktop application of `install_dir` (by full path, no
// arguments, working folder `install_dir`) and returns as soon as it has been
// created, without waiting for it. Windows: in the active console session as
// its user, on "winsta0\default". Linux: a detached child of the service.
// The error is one of the fixed sentences above, without the system's code
// (on Linux only DESKTOP_NOT_STARTED).
Result<void> launch_in_user_session(const std::string& install_dir);

}  // namespace ombrel::platform
