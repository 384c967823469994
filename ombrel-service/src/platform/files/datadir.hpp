#pragma once
// The data folder belongs to the service alone. The service writes there as
// the system account (the registry, the tunnel document, the diagnostic
// logs); a folder that ordinary users could create first, or plant links
// in, would let them steer those writes anywhere, or hand the service a
// registry of their own.
//
// Before the service writes there, the folder is made sure of: it must be a
// real folder (no link or junction), be owned by the system, the
// administrators or the service's own account, let nobody else change it or
// its content, and hold no link, junction or hard-linked file. A folder
// that fails any of this is moved aside under a new name, untouched, and an
// empty one is made in its place. A folder that passes gets the intended
// access list if it does not carry it yet.
//
// The folder is also private to read: the tunnel log names the
// destinations a user reaches and the tunnel document the applications and
// sites a user bypasses, which other users of the machine have no business
// reading. Windows: the intended access list is protected (nothing
// inherited from C:\ProgramData) and reads PRIVATE_DIR_SDDL: full control
// for the system and the administrators, nothing for anyone else; a folder
// that carries another list (an earlier version granted users read) is
// given this one, which reaches its files by inheritance. Linux: the owner
// is root or the service's own user, neither the group nor others may
// write, and the folder is left with mode 0700 and its files without any
// right for the group or others (0600 for a new one).
//
// Whoever opened a file while others could read it keeps reading through
// that handle whatever is written to the file later, whatever its rights
// say now. So each file that others could read is made anew once the
// folder is put right: its content copied into a new file that replaces it
// (Windows: every file, once the folder's new list has taken hold; a
// system that keeps no lists, such as Wine, has nothing to mend). Every
// file there must also be owned by the system, the administrators or the
// service's own account (Linux: root or the service's user), else the
// folder is unfit.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace ombrel::platform {

// The access list given to the data folder (Windows).
inline constexpr std::string_view PRIVATE_DIR_SDDL = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Makes sure of the folder at `path` as above; its parent folders are made
// when missing. Errors: "не отодвинуть {path}: {error}" when an unfit
// folder cannot be moved aside, "не создать {path}: {error}" when the new
// one cannot be made, the system's error when the folder cannot be
// inspected or its access list cannot be set. On error nothing may be
// written there.
Result<void> ensure_private_dir(const std::string& path);

// ensure_private_dir for data_dir(), at the service's start: also removes
// the copies an earlier renewal renamed aside and could not delete then.
Result<void> ensure_private_data_dir();

// Makes each of `names` in `dir` anew (content copied into a new file that
// replaces it), giving up on a file that does not answer within
// SHARED_FILE_STALL; for `ensure_private_dir`. A file that cannot be made
// anew ("не пересоздать {path}: {error}") is told to the renewal reporter:
// whoever holds it may go on reading what the service writes there, which
// an administrator must hear of. The folder is private all the same, and
// nothing else changes.
void renew_files(const std::string& dir, const std::vector<std::string>& names);

// One file of `renew_files`: `content` put at `path` in a new file, so that
// a handle taken on the old one reads nothing written later. Linux: a
// rename, which never minds open descriptors. Windows: a rename over the
// held file with POSIX semantics where the file system has them, else the
// held file renamed aside ("{path}.{ms}.gone", deleted at once when it can
// be, else by `ensure_private_data_dir` at the next start) and the new one
// moved in. Both need the holder to share deleting; one that does not
// makes this fail, and the file is left as it was.
Result<void> renew_file(const std::string& path, std::string_view content);

// Where the failures of `renew_files` go, for the rest of the process (the
// service: its log and the Application log). Failures met before a
// reporter is set wait for it. An empty reporter makes them wait again.
using RenewalReporter = std::function<void(const Error& failure)>;
void report_renewal_failures_to(RenewalReporter reporter);

#ifdef _WIN32
// Whether a folder with this security descriptor (SDDL with an owner and an
// access list) can be changed, or have content added, only by the system,
// the administrators and the service's own account.
Result<bool> is_private_security(std::string_view sddl);

// The folder's owner and access list as SDDL, read back from the system.
Result<std::string> folder_security_sddl(const std::string& path);

// Whether the folder's access list is PRIVATE_DIR_SDDL (protected, and the
// same entries).
Result<bool> has_private_access_list(const std::string& path);
#endif

}  // namespace ombrel::platform
