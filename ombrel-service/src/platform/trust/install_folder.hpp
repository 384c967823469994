#pragma once
// Whether the installation folder is the administrators' alone. The cores,
// the staged copies and backups, the pending record and every system DLL
// that is not a known DLL are all taken from the folder the service runs
// from, as the system account: whoever else may write there becomes the
// system account.
//
// A folder is safe when nobody but the system, the administrators,
// TrustedInstaller, CREATOR OWNER (inherit-only: whoever makes a file there,
// who must already be trusted) and the account the judging process runs as
// is granted the right to write to it, create files in it, delete from it
// or change its access list or owner, and when its owner is one of those
// (an owner may always change the list); the same for every folder above
// it up to the volume root, each opened without following a link. A link
// on the way makes the folder unsafe: what it leads to cannot be judged by
// the path.
//
// On a folder above the installation folder, only entries that apply to
// that folder itself count, and adding a sub-folder does not (the volume
// root lets every user make folders, which changes nothing below it). On
// the installation folder itself, entries meant only for what is made in it
// count too, and so does adding a sub-folder.
//
// Linux: each folder up to "/" must be owned by root or the judging
// process's user and be writable by neither its group nor others; a folder
// above the installation folder may be writable by others when it is
// sticky (as /tmp is), since then nobody may rename or remove what is not
// theirs.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "platform/files/files.hpp"

namespace ombrel::platform {

// Whose account is trusted besides the fixed ones: the judging process's
// own (the service at each start), or the one the service will run as
// (`install`, so that it refuses exactly what the service would refuse,
// not less because an administrator installs). Windows: the account the
// service control manager gives a LocalSystem service, as the manager's own
// process token shows it, whether or not any service has started yet (the
// system account, which is also the answer when that cannot be read; Wine
// runs every process as its one user). Linux: the same as the own account,
// there is no `install`.
enum class JudgedBy { OwnAccount, Service };

// Judges `folder` and every folder above it; an error when one of them
// cannot be judged.
Result<bool> is_safe_install_folder(const std::string& folder, JudgedBy by = JudgedBy::OwnAccount);

// The text that names an installation folder others may change; the
// folder follows.
inline constexpr std::string_view UNSAFE_INSTALL_FOLDER =
    "папка установки доступна на запись не только администраторам: ";

// A program held open, judged through the handle as the folder above is:
// its owner is one of those trusted, and nobody else may write it, delete
// it or change its access list or owner (Linux: owned by root or the
// judging process's user, writable by neither its group nor others).
Result<bool> is_safe_program_file(const InputFile& file);

// The folder that holds the file open behind `file`, as the system names it
// for the handle (a link on the way to the file resolved): what is judged
// is where the held file lies, not where a path once led.
Result<std::string> held_file_folder(const InputFile& file);

// One folder, from its owner and mode bits (Linux).
bool is_safe_folder_mode(std::uint32_t owner, std::uint32_t mode, std::uint32_t own_uid,
                         bool installation_folder);

#ifdef _WIN32
// One folder, from its security descriptor as SDDL (owner and access list);
// `own_sid` is the judging process's user ("S-1-5-18" for the service).
Result<bool> is_safe_folder_sddl(std::string_view sddl, std::string_view own_sid,
                                 bool installation_folder);
#endif

}  // namespace ombrel::platform
