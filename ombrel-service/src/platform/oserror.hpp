#pragma once
// Operating-system errors in the system's own words (FormatMessageW on
// Windows, strerror on Linux).
#include "base/error.hpp"

namespace ombrel::platform {

// The error text for a system error code (GetLastError / errno value).
Error os_error(unsigned long code);
// The error text for the calling thread's last error.
Error last_os_error();

}  // namespace ombrel::platform
