#pragma once
// Self-update: new builds of the desktop application and of the service are
// offered by path and SHA-256 digest, copied into the installation folder,
// verified there, swapped in with a backup of each replaced executable, and
// finished on a thread of their own (restart of the service, or a relaunch
// of the desktop application). A start-up check repairs what an interrupted
// update left behind.
//
// The offered paths come from any interactive user, while the service works
// as the system account. Each offered file is therefore read exactly once,
// into a staged copy inside the installation folder (which ordinary users
// cannot write); the mark, the size and the digest are checked on that copy,
// and that copy is what gets installed. Whatever happens to the offered file
// after it has been read cannot reach the installation. It is opened on the
// caller's behalf (`UpdateFields::open_offered`), so that nothing the caller
// could not read itself is read for it.
//
// The digests prove nothing about who made the files: the caller chooses
// them along with the files. On Windows an offered program is therefore
// installed only when it carries a valid signature by the publisher that
// signed the running service (a renewed certificate of that publisher
// included); a service that is itself unsigned takes no updates at all
// (only a development variant, built apart, does). A signature says who
// made a file, not what it is nor whether it is newer: its version resource
// must also name the file it replaces and a higher version than the
// installed one. The Linux port has no program signatures nor version
// resources; there only root may offer an update, as the socket's peer
// credentials tell.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/clock.hpp"
#include "base/error.hpp"
#include "platform/files/files.hpp"
#include "platform/files/io_bound.hpp"
#include "platform/process/proclist.hpp"
#include "platform/trust/trust.hpp"
#include "platform/trust/version.hpp"

namespace ombrel::selfupdate {

// Larger offered (and installed) files are neither hashed nor copied.
inline constexpr std::uint64_t MAX_UPDATE_FILE_SIZE = 209715200;

// File names in the installation folder.
extern const char* const DESKTOP_EXE;  // "ombrel-desktop.exe" ("ombrel-desktop" on Linux)
extern const char* const SERVICE_EXE;  // "ombrel-service.exe" ("ombrel-service" on Linux)
inline constexpr std::string_view PENDING_RECORD = "update-pending.json";

// The points between the steps of an update, in their order, as
// `UpdateDeps::at_step` names them. "restarting" comes before the new
// service is started with "restart".
inline constexpr std::string_view UPDATE_STEPS[] = {
    "desktop staged",    "service staged", "record written",         "desktop backup removed",
    "desktop backed up", "desktop placed", "service backup removed", "service backed up",
    "service placed",    "restarting"};

// "ombrel-desktop.exe" -> "ombrel-desktop.exe.old", "ombrel-desktop" -> "ombrel-desktop.old".
std::string backup_path(const std::string& executable);
// Where the offered file for `executable` is copied before it is checked.
std::string staged_path(const std::string& executable);

// Whether this build lets a running service that is itself unsigned take
// unsigned updates: false in the product. Only the development variant of
// the executable (built with OMBREL_ALLOW_UNSIGNED_UPDATES, for tests) links
// in a definition that says true.
extern const bool UNSIGNED_UPDATES_ALLOWED;

// Opens an offered file for reading with the rights of whoever offered it.
using OpenOfferedFn = std::function<Result<platform::InputFile>(const std::string& path)>;

// The five fields of an update request, as received, and who sent it.
struct UpdateFields {
  std::string version;
  std::string app_path;
  std::string app_sha256;
  std::string service_path;
  std::string service_sha256;
  // The caller's user id where the channel tells it (the Linux port's
  // socket); no part of the request itself.
  std::optional<std::uint32_t> caller_uid;
  // How the offered files are opened: only as far as the caller may read
  // them where the channel can tell; when empty, with the service's own
  // rights (tests and callers that are the service itself).
  OpenOfferedFn open_offered = {};
  // The caller's process where the channel tells it: an update of it that
  // runs out of time bars it for a while (`UpdateBar`).
  std::optional<std::uint32_t> caller_pid = {};
  // Cancels a blocking call on an offered file that runs out of time: the
  // serving thread's own watcher where there is one; else staging makes one.
  platform::IoWatcher* io_watcher = nullptr;
};

// Reading an offered file (opening, reading, copying it and hashing the
// copy) may not stall for longer than a stalled control client may, nor
// take longer in all than a 200 MiB file on a healthy disk ever needs.
inline constexpr std::chrono::milliseconds STAGING_STALL{5000};
inline constexpr std::chrono::milliseconds STAGING_DEADLINE{60000};
// How long a process whose update ran out of time may offer no other.
inline constexpr std::chrono::milliseconds UPDATE_BAR{10000};

// Processes whose update ran out of time, each barred from offering another
// until its bar ends: a file that stalls on purpose would otherwise take the
// channel from everybody again at once.
class UpdateBar {
 public:
  void add(std::uint32_t pid, std::chrono::steady_clock::time_point until);
  struct Verdict {
    std::chrono::milliseconds left{0};  // zero: free to offer
    bool first = false;                 // the first refusal of this bar
  };
  Verdict judge(std::uint32_t pid, std::chrono::steady_clock::time_point now);

 private:
  struct Entry {
    std::chrono::steady_clock::time_point until;
    bool told = false;
  };
  std::mutex mutex_;
  std::map<std::uint32_t, Entry> until_;
};

struct UpdateOutcome {
  bool app_replaced = false;
  bool service_replaced = false;
  friend bool operator==(const UpdateOutcome&, const UpdateOutcome&) = default;
};

// What the update code needs from the world; `real_deps()` gives the real
// ones, tests give fast and observable ones.
struct UpdateDeps {
  std::function<Result<std::string>()> install_dir;
  const Clock* clock = nullptr;
  std::function<Result<std::vector<platform::ProcessEntry>>()> list_processes;
  std::function<void(std::chrono::milliseconds)> sleep;
  // launch_in_user_session.
  std::function<Result<void>(const std::string& install_dir)> launch_desktop;
  // Starts a program that outlives the service (the new service with "restart").
  std::function<Result<void>(const std::string& program, const std::vector<std::string>& args)>
      start_program;
  // Where set (Linux), the service gives way to its new build in place
  // instead of starting it with "restart": it becomes `program` itself.
  // Returns only when that failed; the old build then serves on.
  std::function<Result<void>(const std::string& program)> replace_service;
  // Runs the update finisher on a detached thread.
  std::function<void(std::function<void()>)> run_detached;
  // One whole diagnostic line, ending with a line feed.
  std::function<void(std::string_view)> write_stderr;
  std::uint64_t max_file_size = MAX_UPDATE_FILE_SIZE;
  // Called once both offered files are staged and verified, before anything
  // installed is touched; tests use it to meddle with the offered files.
  std::function<void()> after_verify;
  // Called at each point between the steps of putting an update in place
  // (`UPDATE_STEPS`); tests end the process there, as a crash or a power
  // loss would.
  std::function<void(std::string_view step)> at_step;
  // Called inside each bounded delete or rename in the installation folder,
  // with the file's path; tests stall there as a user's oplock would.
  std::function<void(const std::string& path)> at_file;
  // Only a caller with user id 0 may offer an update (the Linux port).
  bool root_callers_only = false;
  // Where set (Windows), every offered program must be signed by the
  // publisher that signed `own_executable`, the running service.
  std::function<Result<platform::ProgramSignature>(const std::string& path)> program_signature;
  std::function<Result<std::string>()> own_executable;
  // Where set (Windows), an offered program that is to replace an installed
  // one must say it is a build of that file and be newer than it
  // (`check_build`).
  std::function<Result<std::optional<platform::ProgramVersion>>(const std::string& path)>
      program_version;
  // Whether an unsigned running service takes offered programs without
  // asking for signatures (UNSIGNED_UPDATES_ALLOWED for the real service).
  bool unsigned_updates_allowed = false;
  // The bounds on reading the offered files, and the bar on a process whose
  // update ran out of them (none: nobody is barred).
  std::chrono::milliseconds staging_stall = STAGING_STALL;
  std::chrono::milliseconds staging_deadline = STAGING_DEADLINE;
  std::chrono::milliseconds bar_length = UPDATE_BAR;
  UpdateBar* bar = nullptr;
  // Whether the installation folder was found safe at start (true where not
  // set); when not, every update is refused before any file is opened.
  std::function<bool()> install_folder_safe;
};

const UpdateDeps& real_deps();

// The SHA-256 of the file's whole content as 64 lower-case hex digits. A file
// whose size is above `max_size` fails with "файл больше допустимого" (also
// when it grows past the limit while it is read); other failures are the
// system's errors.
Result<std::string> file_sha256_hex(const std::string& path,
                                    std::uint64_t max_size = MAX_UPDATE_FILE_SIZE);

// Whether `expected` (white space around it ignored) names `actual`,
// compared ignoring ASCII case.
bool same_digest(std::string_view expected, std::string_view actual);

// Checks the file at `path`: it starts with the program mark ("MZ"; "\x7fELF"
// on Linux), is at most `max_size` bytes long and has the digest `expected`.
// The error texts name `shown_path`: "{shown} - не программа Windows",
// "не прочитать {shown}: {error}", "сумма {shown} не сошлась".
Result<void> verify_offered_file(const std::string& path, std::string_view expected,
                                 std::string_view shown_path,
                                 std::uint64_t max_size = MAX_UPDATE_FILE_SIZE);
inline Result<void> verify_offered_file(const std::string& path, std::string_view expected) {
  return verify_offered_file(path, expected, path);
}

// Copies the offered file at `offered` (at most `max_size` + 1 bytes of it)
// into `staged`, which is made afresh and open to the system and the
// administrators alone (`File::create_private`), and verifies the copy as above,
// naming `offered` in the texts. `target` is the installed file the copy is
// meant for; a failure to write the copy reads "не поставить {target}: {error}".
// On failure `staged` is removed. `open` opens the offered file (with the
// service's own rights, through `InputFile::open_local`, when empty). A
// path whose text names another computer or a device is "{offered} - не
// локальный файл"; any file that cannot be opened, whatever the reason (a
// link or a share on the way included), is "не открыть {offered}" over the
// reason, and only that outermost text may reach the caller, so that the
// replies tell nothing about files it could not read itself. The open and
// every read count against the thread's `BoundedIo`, if any.
Result<void> stage_offered_file(const std::string& offered, std::string_view expected,
                                const std::string& staged, const std::string& target,
                                std::uint64_t max_size = MAX_UPDATE_FILE_SIZE,
                                const OpenOfferedFn& open = {});

// Refuses a caller who may not offer updates: "обновление доступно только
// root" (only where `deps.root_callers_only`).
Result<void> check_caller(const UpdateFields& fields, const UpdateDeps& deps);

// Checks the staged copy at `staged` against the running service's signer,
// naming `shown` (the offered path) in the texts:
// "{shown} - без подписи", "подпись {shown} не сошлась",
// "{shown} - подписан чужим сертификатом" (another publisher: another
// organisation or common name, or another issuing key),
// "{shown} - лишние данные после подписи", "не проверить подпись {shown}: {error}".
// `own` is the running service's signature, from `own_signature`.
Result<void> check_signer(const std::string& staged, std::string_view shown,
                          const platform::ProgramSignature& own, const UpdateDeps& deps);

// Checks that the staged copy at `staged`, which is to replace `installed`,
// is a build of that file and a newer one, naming `shown` (the offered
// path) in the texts. Its version resource must give the installed file's
// name as OriginalFilename (ASCII case ignored), else "{shown} - не {name}"
// (also when it has no version resource); its FileVersion must be higher
// than the installed file's, else "{shown} - версия {offered} не новее
// установленной {installed}". An installed file without a version resource
// (a build from before they were checked), or none at all, takes any build
// that names it. A copy whose resource cannot be read: "не проверить версию
// {shown}: {error}"; an installed file that is there but cannot be read:
// "не проверить версию {installed}: {error}" (never taken for an old build).
// Nothing is checked where `deps.program_version` is unset.
Result<void> check_build(const std::string& staged, std::string_view shown,
                         const std::string& installed, const UpdateDeps& deps);

// The running service's own signature, or the refusal of every update when
// it has none that holds (and unsigned updates are not allowed):
// "{own} - без действительной подписи, обновления не принимаются".
// nullopt when signatures are not asked for at all.
Result<std::optional<platform::ProgramSignature>> own_signature(const UpdateDeps& deps);

// Stages and verifies both offered files, decides which installed
// executables change and swaps those in, writing the pending record first.
// Leaves no staged copy behind. The caller is checked before any file is
// opened; signatures after the mark, size and digest of both files; what
// each changed file is and its version after both signatures.
Result<UpdateOutcome> stage_update(const UpdateFields& fields,
                                   const UpdateDeps& deps = real_deps());

// Moves `source` into place as `target`, keeping the previous `target` as its
// backup (an older backup is deleted first). When the move fails, the
// previous file is put back. `source` must lie in the same folder as
// `target` (the staged copy), so that the move is a rename.
// On Linux the backup is a second name of the previous file and `source` is
// renamed over `target`: there is no moment without a program under the
// installed name, whenever the service may be ended. Windows can neither
// replace a running program under its name nor remove a second name of it,
// so there `target` is moved aside first and `source` moved in right after:
// an end between those two renames leaves the name empty until the backup
// is put back.
// Errors: "не отодвинуть {target}: {error}", "не поставить {target}: {error}".
Result<void> replace_file(const std::string& target, const std::string& source);

// Returns once no desktop application runs, or after 15 seconds.
void wait_desktop_exit(const UpdateDeps& deps = real_deps());

// The body of the thread that finishes an accepted update.
void finish_update(bool app_replaced, bool service_replaced, const UpdateDeps& deps = real_deps());

// The body of the thread started each time the workers start: puts back an
// executable that is missing while its backup is there, deletes backups
// older than 24 hours, and finishes a pending update.
void startup_update_check(const UpdateDeps& deps = real_deps());

// The request handling's share of an update: what to reply.
struct UpdateFailed {
  std::string text;  // the "update_failed" reply's message
};

// The refusal of every update while the installation folder is unsafe.
inline constexpr std::string_view UNSAFE_FOLDER_REFUSAL =
    "папка установки небезопасна, обновления не принимаются";

// How the running service gives way to a new build of itself where there is
// no service manager to restart it (Linux): the host stops what runs and
// replaces the process (`platform::replace_program`), or returns the error.
// Until one is given, the process is replaced with nothing stopped first.
using ServiceReplacer = std::function<Result<void>(const std::string& program)>;
void set_service_replacer(ServiceReplacer replacer);

// Tells the real dependencies that the installation folder was judged
// unsafe at start: from then on `real_deps().install_folder_safe` is false.
void mark_install_folder_unsafe();
struct AlreadyCurrent {};
struct UpdateAccepted {
  bool tunnel_drops = false;
};
using UpdateDecision = std::variant<UpdateFailed, AlreadyCurrent, UpdateAccepted>;

// Stages the update and decides the reply. On failure the line
// "обновление не поставлено: {text}" is written here. When accepted, the
// finisher already runs on its detached thread when this returns.
UpdateDecision handle_update(const UpdateFields& fields, const UpdateDeps& deps = real_deps());

}  // namespace ombrel::selfupdate
