#pragma once
// Where the service keeps its data and where it is installed. Paths are
// UTF-8 text with the platform's own separator.
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace ombrel::platform {

// The separator of this platform: '\\' on Windows, '/' on Linux.
extern const char PATH_SEPARATOR;

// The data folder: "C:\ProgramData\Ombrel" on Windows; on Linux
// $OMBREL_DATA_DIR when set and not empty, else "/var/lib/ombrel".
std::string data_dir();

// The full path of the running executable; the system's error when unknown.
Result<std::string> current_exe_path();

// The folder that holds the running executable.
Result<std::string> install_dir();

// `dir` and `name` joined by one separator.
std::string join_path(std::string_view dir, std::string_view name);

// The folder above `path`, a root such as "/" or "C:\" kept whole; empty
// when there is none ("x.exe", "/", "C:\").
std::string parent_path(std::string_view path);

}  // namespace ombrel::platform
