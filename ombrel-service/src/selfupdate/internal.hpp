#pragma once
// Shared between the files of this module only.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files/io_bound.hpp"
#include "platform/process/program_file.hpp"
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate::internal {

// Held while executables and backups in the installation folder are moved
// or deleted, so that the start-up check never takes a file that a
// replacement has just moved aside for a missing executable.
std::mutex& install_folder_lock();

// The first bytes of every program this platform runs, and what a file
// without them is called.
inline constexpr std::string_view PROGRAM_MARK = platform::PROGRAM_MARK;
inline constexpr std::string_view NOT_A_PROGRAM = platform::NOT_A_PROGRAM;

inline constexpr std::size_t BLOCK_SIZE = 65536;

// Stages offered files under the time bounds of `deps` (`BoundedIo`); a file
// that runs out of them is refused: "{path} не отдавал данных {stall}" or
// "{path} не прочитан за {deadline}", followed, where the caller will be
// barred, by "; обновления от этого процесса не принимаются {bar}". One
// deadline for all files staged through one object.
class BoundedStaging {
 public:
  BoundedStaging(const UpdateFields& fields, const UpdateDeps& deps);
  Result<void> stage(const std::string& offered, std::string_view expected,
                     const std::string& staged, const std::string& target);
  bool out_of_time() const { return out_of_time_; }

 private:
  const UpdateFields& fields_;
  const UpdateDeps& deps_;
  std::unique_ptr<platform::IoWatcher> own_watcher_;
  platform::BoundedIo io_;
  bool out_of_time_ = false;
};

// Looks at files in the installation folder that others may open too (the
// running service's own file, the installed programs, the staged copies)
// under the same bounds as the offered files: a look that runs out of them
// fails the update with "{path} не ответил за {span}". Its caller is not
// barred: the file is not the caller's.
class BoundedLooks {
 public:
  BoundedLooks(const UpdateFields& fields, const UpdateDeps& deps);
  BoundedLooks(const BoundedLooks&) = delete;
  BoundedLooks& operator=(const BoundedLooks&) = delete;
  // `deps` whose signature and version look-ups run under these bounds.
  const UpdateDeps& deps() const { return looking_; }
  // The installed file's digest, "" when it cannot be had.
  Result<std::string> installed_digest(const std::string& path);

 private:
  Result<void> in_time(const std::string& path) const;

  std::unique_ptr<platform::IoWatcher> own_watcher_;
  platform::BoundedIo io_;
  UpdateDeps looking_;
};

// Deletes and renames in the installation folder, where every user may open
// a file and hold it (an oplock whose break is never acknowledged, a handle
// that refuses deleting): each call runs under a bound of its own (`stall`),
// through `watcher` or one of its own, so that no holder keeps the serving
// thread, and one call that ran over does not cancel the next (a rollback).
// `at_file` is called inside each call with the file's path.
class FolderMoves {
 public:
  FolderMoves(std::chrono::milliseconds stall, platform::IoWatcher* watcher,
              std::function<void(const std::string&)> at_file);
  FolderMoves(const UpdateDeps& deps, platform::IoWatcher* watcher)
      : FolderMoves(deps.staging_stall, watcher, deps.at_file) {}
  FolderMoves(const FolderMoves&) = delete;
  FolderMoves& operator=(const FolderMoves&) = delete;

  // `call` on `path`: its result, or "{path} не ответил за {stall}".
  Result<void> run(const std::string& path, const std::function<Result<void>()>& call);
  Result<void> remove(const std::string& path);
  Result<void> rename(const std::string& from, const std::string& to);
  // Frees the name `path`: the file there is renamed aside to a name of its
  // own and then deleted, so that the name is free even while a handle
  // keeps the file (a deleted file keeps its name until the last handle
  // goes). False when something is still there.
  bool discard(const std::string& path);
  // `path` once `discard` freed it; else a fresh name beside it, so that a
  // leftover somebody holds refuses no update.
  std::string free_name(const std::string& path);

 private:
  std::chrono::milliseconds stall_;
  std::unique_ptr<platform::IoWatcher> own_watcher_;
  platform::IoWatcher& watcher_;
  std::function<void(const std::string&)> at_file_;
  bool ran_over_ = false;  // the last call ran into its bound
};

// `stage_update`, telling whether it failed for running out of time.
Result<UpdateOutcome> stage(const UpdateFields& fields, const UpdateDeps& deps, bool& out_of_time);

// The refusal of an update from a barred caller ("обновления от этого
// процесса не принимаются ещё {n} с"); `first` tells the first of its bar.
std::optional<std::string> barred(const UpdateFields& fields, const UpdateDeps& deps, bool& first);
// Bars the caller of an update that ran out of time.
void bar_caller(const UpdateFields& fields, const UpdateDeps& deps);

// False once `mark_install_folder_unsafe` was called.
bool install_folder_marked_safe();

}  // namespace ombrel::selfupdate::internal
