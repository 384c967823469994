#pragma once
// Access checks made for someone else: whether a token (a pipe client's,
// at any level from identification up) may read what a security descriptor
// guards. Only `*_win.cpp` files include this header.
#include <windows.h>

#include "base/error.hpp"

namespace ombrel::platform {

// Whether `token`, an impersonation token, is granted the generic read
// rights of a file by `sd`, which must name its owner and group.
Result<bool> token_may_read(PSECURITY_DESCRIPTOR sd, HANDLE token);

// The same for the open file `file`, from its owner, group and access list
// (the handle needs READ_CONTROL, which reading includes).
Result<bool> token_may_read_file(HANDLE file, HANDLE token);

}  // namespace ombrel::platform
