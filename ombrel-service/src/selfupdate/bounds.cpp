// Time bounds on reading offered files, the bar on a process whose update
// ran out of them, and the refusal while the installation folder is unsafe.
#include <atomic>

#include "base/text.hpp"
#include "platform/files/files.hpp"
#include "selfupdate/internal.hpp"
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

namespace {

std::atomic<bool> folder_unsafe{false};

using platform::span_text;

std::chrono::steady_clock::time_point now(const UpdateDeps& deps) {
  return deps.clock != nullptr ? deps.clock->monotonic() : system_clock().monotonic();
}

bool bars(const UpdateFields& fields, const UpdateDeps& deps) {
  return deps.bar != nullptr && fields.caller_pid.has_value() && deps.bar_length.count() > 0;
}

}  // namespace

void mark_install_folder_unsafe() {
  folder_unsafe = true;
}

bool internal::install_folder_marked_safe() {
  return !folder_unsafe;
}

void UpdateBar::add(std::uint32_t pid, std::chrono::steady_clock::time_point until) {
  const std::lock_guard lock(mutex_);
  until_[pid] = Entry{until, false};
}

UpdateBar::Verdict UpdateBar::judge(std::uint32_t pid, std::chrono::steady_clock::time_point now) {
  const std::lock_guard lock(mutex_);
  std::erase_if(until_, [now](const auto& entry) { return entry.second.until <= now; });
  const auto found = until_.find(pid);
  if (found == until_.end()) return {};
  Verdict verdict{std::chrono::ceil<std::chrono::milliseconds>(found->second.until - now),
                  !found->second.told};
  found->second.told = true;
  return verdict;
}

std::optional<std::string> internal::barred(const UpdateFields& fields, const UpdateDeps& deps,
                                            bool& first) {
  if (!bars(fields, deps)) return std::nullopt;
  const auto verdict = deps.bar->judge(*fields.caller_pid, now(deps));
  if (verdict.left.count() <= 0) return std::nullopt;
  first = verdict.first;
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(verdict.left);
  return "обновления от этого процесса не принимаются ещё " + span_text(seconds);
}

void internal::bar_caller(const UpdateFields& fields, const UpdateDeps& deps) {
  if (bars(fields, deps)) {
    deps.bar->add(*fields.caller_pid, now(deps) + deps.bar_length);
  }
}

internal::BoundedStaging::BoundedStaging(const UpdateFields& fields, const UpdateDeps& deps)
    : fields_(fields),
      deps_(deps),
      own_watcher_(fields.io_watcher != nullptr ? nullptr : platform::make_io_watcher()),
      io_(fields.io_watcher != nullptr ? *fields.io_watcher : *own_watcher_, deps.staging_stall,
          std::chrono::steady_clock::now() + deps.staging_deadline) {}

Result<void> internal::BoundedStaging::stage(const std::string& offered, std::string_view expected,
                                             const std::string& staged, const std::string& target) {
  auto done = stage_offered_file(offered, expected, staged, target, deps_.max_file_size,
                                 fields_.open_offered);
  const auto ran = io_.outcome();
  if (ran == platform::BoundedIo::Ran::InTime) {
    if (done || done.error().outermost() != "не открыть " + offered) return done;
    // Why the file could not be opened (missing, not the caller's, a link)
    // is the service's to know, not the caller's.
    if (deps_.write_stderr)
      deps_.write_stderr(escape_controls("обновление: " + done.error().to_string()) + "\n");
    return fail(done.error().outermost());
  }
  out_of_time_ = true;
  std::string text = offered;
  text += ran == platform::BoundedIo::Ran::Stalled
              ? " не отдавал данных " + span_text(deps_.staging_stall)
              : " не прочитан за " + span_text(deps_.staging_deadline);
  if (bars(fields_, deps_)) {
    text += "; обновления от этого процесса не принимаются " + span_text(deps_.bar_length);
  }
  return fail(std::move(text));
}

internal::BoundedLooks::BoundedLooks(const UpdateFields& fields, const UpdateDeps& deps)
    : own_watcher_(fields.io_watcher != nullptr ? nullptr : platform::make_io_watcher()),
      io_(fields.io_watcher != nullptr ? *fields.io_watcher : *own_watcher_, deps.staging_stall,
          std::chrono::steady_clock::now() + deps.staging_deadline),
      looking_(deps) {
  // Each look is one bounded call: the system's own opens and reads inside
  // it are cancelled with it.
  if (deps.program_signature) {
    looking_.program_signature =
        [this, look = deps.program_signature](
            const std::string& path) -> Result<platform::ProgramSignature> {
      auto seen = [&] {
        const platform::BoundedCall bounded;
        return look(path);
      }();
      OMBREL_TRY(in_time(path));
      return seen;
    };
  }
  if (deps.program_version) {
    looking_.program_version =
        [this, look = deps.program_version](
            const std::string& path) -> Result<std::optional<platform::ProgramVersion>> {
      auto seen = [&] {
        const platform::BoundedCall bounded;
        return look(path);
      }();
      OMBREL_TRY(in_time(path));
      return seen;
    };
  }
}

Result<void> internal::BoundedLooks::in_time(const std::string& path) const {
  if (io_.outcome() == platform::BoundedIo::Ran::InTime) return {};
  return fail(platform::unanswered_text(path, io_.bound_span()));
}

Result<std::string> internal::BoundedLooks::installed_digest(const std::string& path) {
  auto digest = file_sha256_hex(path, looking_.max_file_size);
  // A file that did not answer is no file that differs: it may be the very
  // one offered.
  OMBREL_TRY(in_time(path));
  return digest ? *digest : std::string();
}

internal::FolderMoves::FolderMoves(std::chrono::milliseconds stall, platform::IoWatcher* watcher,
                                   std::function<void(const std::string&)> at_file)
    : stall_(stall),
      own_watcher_(watcher != nullptr ? nullptr : platform::make_io_watcher()),
      watcher_(watcher != nullptr ? *watcher : *own_watcher_),
      at_file_(std::move(at_file)) {}

Result<void> internal::FolderMoves::run(const std::string& path,
                                        const std::function<Result<void>()>& call) {
  platform::BoundedIo io(watcher_, stall_, std::chrono::steady_clock::now() + stall_);
  auto done = [&] {
    const platform::BoundedCall bounded;
    if (at_file_) at_file_(path);
    return call();
  }();
  // A call that did its work late did it all the same: a rename reported
  // as failed would be undone on a file that is no longer there.
  ran_over_ = !done && io.outcome() != platform::BoundedIo::Ran::InTime;
  if (ran_over_) return fail(platform::unanswered_text(path, stall_));
  return done;
}

Result<void> internal::FolderMoves::remove(const std::string& path) {
  return run(path, [&] { return platform::remove_file(path); });
}

Result<void> internal::FolderMoves::rename(const std::string& from, const std::string& to) {
  return run(from, [&] { return platform::rename_file(from, to); });
}

bool internal::FolderMoves::discard(const std::string& path) {
  if (!platform::path_exists(path)) return true;
  // No file of ours: not ours to move.
  if (platform::is_folder(path)) return false;
  const std::string aside = platform::gone_name(path);
  // A rename that ran over would fare no better as a delete; one refused at
  // once (a file system without renames over held files) may.
  if (!rename(path, aside) && !ran_over_ && platform::path_exists(path)) (void)remove(path);
  if (platform::path_exists(aside)) (void)remove(aside);
  return !platform::path_exists(path);
}

std::string internal::FolderMoves::free_name(const std::string& path) {
  return discard(path) ? path : platform::unused_name(path + ".");
}

}  // namespace ombrel::selfupdate
