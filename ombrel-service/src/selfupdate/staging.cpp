// Putting an update in place: both offered files staged and verified, the
// decision what changes, the pending record and the swap with backups.
#include <nlohmann/json.hpp>

#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/program_file.hpp"
#include "platform/process/session.hpp"
#include "selfupdate/internal.hpp"
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

using internal::BoundedStaging;

namespace {
constexpr platform::ProgramFile SERVICE_PROGRAM{"ombrel-service"};
}  // namespace

const char* const DESKTOP_EXE = platform::DESKTOP_EXE_NAME;
const char* const SERVICE_EXE = SERVICE_PROGRAM.text;

std::mutex& internal::install_folder_lock() {
  static std::mutex lock;
  return lock;
}

std::string backup_path(const std::string& executable) {
  return executable + ".old";
}

std::string staged_path(const std::string& executable) {
  return executable + ".staged";
}

namespace {

// The staged copies: under their usual names when those are free, else
// (a leftover somebody holds) under fresh ones; removed whatever way staging
// ends. A copy that has been renamed into place is no longer under its
// staged name.
class StagedCopies {
 public:
  StagedCopies(internal::FolderMoves& moves, const std::string& app, const std::string& service)
      : moves_(moves), app_(moves.free_name(app)), service_(moves.free_name(service)) {}
  StagedCopies(const StagedCopies&) = delete;
  StagedCopies& operator=(const StagedCopies&) = delete;
  ~StagedCopies() {
    for (const std::string* path : {&app_, &service_}) (void)moves_.discard(*path);
  }
  const std::string& app() const { return app_; }
  const std::string& service() const { return service_; }

 private:
  internal::FolderMoves& moves_;
  std::string app_;
  std::string service_;
};

void write_pending_record(internal::FolderMoves& moves, const std::string& dir,
                          const std::string& version) {
  nlohmann::json record = nlohmann::json::object();
  record["version"] = version;
  const std::string text = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const std::string path = platform::join_path(dir, PENDING_RECORD);
  (void)moves.run(path,
                  [&] { return platform::replace_file_atomically(path, path + ".tmp", text); });
}

}  // namespace

namespace {

void step(const UpdateDeps* deps, std::string_view name) {
  if (deps != nullptr && deps->at_step) deps->at_step(name);
}

// `replace_file`, telling `deps` the steps of `what` ("desktop", "service").
// The staged copy takes the folder's access only once it is in place.
Result<void> swap_in(internal::FolderMoves& moves, const std::string& target,
                     const std::string& source, const UpdateDeps* deps, std::string_view what) {
  const std::string old = backup_path(target);
  const std::string prefix = std::string(what) + " ";
  (void)moves.discard(old);
  step(deps, prefix + "backup removed");
  bool linked = false;
  bool moved_aside = false;
  if (platform::path_exists(target)) {
    // Where a running program's name cannot be taken over, or the file
    // system has no second names, the move below does.
    linked = platform::keep_second_name(target, old).has_value();
    if (!linked) {
      if (auto moved = moves.rename(target, old); !moved) {
        return fail(std::move(moved.error()).wrapped("не отодвинуть " + target));
      }
      moved_aside = true;
    }
  }
  step(deps, prefix + "backed up");
  auto placed = moves.rename(source, target);
  if (placed) {
    placed = moves.run(target, [&] { return platform::take_folder_access(target); });
    if (!placed) (void)moves.rename(target, source);
  }
  if (!placed) {
    if (linked) (void)moves.remove(old);
    if (moved_aside) (void)moves.rename(old, target);
    return fail(std::move(placed.error()).wrapped("не поставить " + target));
  }
  step(deps, prefix + "placed");
  return {};
}

}  // namespace

Result<void> replace_file(const std::string& target, const std::string& source) {
  internal::FolderMoves moves(STAGING_STALL, nullptr, {});
  return swap_in(moves, target, source, nullptr, {});
}

Result<UpdateOutcome> stage_update(const UpdateFields& fields, const UpdateDeps& deps) {
  bool out_of_time = false;
  return internal::stage(fields, deps, out_of_time);
}

Result<UpdateOutcome> internal::stage(const UpdateFields& fields, const UpdateDeps& deps,
                                      bool& out_of_time) {
  OMBREL_TRY(check_caller(fields, deps));
  // Whoever may write the folder could replace what is installed, so an
  // update into it would prove nothing.
  if (deps.install_folder_safe && !deps.install_folder_safe()) {
    return fail(std::string(UNSAFE_FOLDER_REFUSAL));
  }
  auto dir = deps.install_dir();
  if (!dir) return fail(dir.error());
  const std::string desktop = platform::join_path(*dir, DESKTOP_EXE);
  const std::string service = platform::join_path(*dir, SERVICE_EXE);
  internal::FolderMoves moves(deps, fields.io_watcher);
  const StagedCopies staged(moves, staged_path(desktop), staged_path(service));

  {
    BoundedStaging bounded(fields, deps);
    auto app = bounded.stage(fields.app_path, fields.app_sha256, staged.app(), desktop);
    out_of_time = bounded.out_of_time();
    OMBREL_TRY(app);
    step(&deps, "desktop staged");
    auto svc = bounded.stage(fields.service_path, fields.service_sha256, staged.service(), service);
    out_of_time = bounded.out_of_time();
    OMBREL_TRY(svc);
    step(&deps, "service staged");
  }
  UpdateOutcome outcome;
  {
    // Others may read the installation folder, and so hold any file in it.
    internal::BoundedLooks looks(fields, deps);
    // On the staged copies, which nobody but the service can change: what is
    // judged here is what gets installed.
    auto own = own_signature(looks.deps());
    if (!own) return fail(own.error());
    if (*own) {
      OMBREL_TRY(check_signer(staged.app(), fields.app_path, **own, looks.deps()));
      OMBREL_TRY(check_signer(staged.service(), fields.service_path, **own, looks.deps()));
    }

    auto desktop_digest = looks.installed_digest(desktop);
    if (!desktop_digest) return fail(desktop_digest.error());
    auto service_digest = looks.installed_digest(service);
    if (!service_digest) return fail(service_digest.error());
    outcome.app_replaced = !same_digest(fields.app_sha256, *desktop_digest);
    outcome.service_replaced = !same_digest(fields.service_sha256, *service_digest);
    // Only a file that is to be installed is asked what it is and whether it
    // is newer: an offer equal to the installed file is "already current".
    if (outcome.app_replaced) {
      OMBREL_TRY(check_build(staged.app(), fields.app_path, desktop, looks.deps()));
    }
    if (outcome.service_replaced) {
      OMBREL_TRY(check_build(staged.service(), fields.service_path, service, looks.deps()));
    }
  }
  if (deps.after_verify) deps.after_verify();
  if (!outcome.app_replaced && !outcome.service_replaced) return outcome;

  const std::lock_guard lock(internal::install_folder_lock());
  write_pending_record(moves, *dir, fields.version);
  step(&deps, "record written");
  if (outcome.app_replaced) OMBREL_TRY(swap_in(moves, desktop, staged.app(), &deps, "desktop"));
  if (outcome.service_replaced) {
    OMBREL_TRY(swap_in(moves, service, staged.service(), &deps, "service"));
  }
  return outcome;
}

}  // namespace ombrel::selfupdate
