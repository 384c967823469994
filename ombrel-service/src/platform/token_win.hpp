#pragma once
// What a process token says about whom it acts for, shared by the parts of
// the platform layer that judge accounts: the data folder's and the
// installation folder's access lists, the orphan cleanup and the control
// client's check of its server.
#include <windows.h>

#include <vector>

#include "base/error.hpp"

namespace ombrel::platform {

// One kind of token information (TOKEN_USER, TOKEN_GROUPS, ...), in a
// buffer of the size the system asks for.
Result<std::vector<BYTE>> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind);

// The TOKEN_USER of a process's own token.
Result<std::vector<BYTE>> process_token_user(HANDLE process);

// A copy of the SID of the user this process runs as.
Result<std::vector<unsigned char>> own_user_sid();

}  // namespace ombrel::platform
