// Time bounds on reading offered files, the bar on a process whose update
// ran out of them, and the refusal while the installation folder is unsafe.
#include <atomic>

#include "platform/files.hpp"
#include "selfupdate/internal.hpp"
#include "selfupdate/update.hpp"

namespace ombrel::selfupdate {

namespace {

std::atomic<bool> folder_unsafe{false};

std::string span_text(std::chrono::milliseconds span) {
  const auto ms = span.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " с";
  return std::to_string(ms) + " мс";
}

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
  if (ran == platform::BoundedIo::Ran::InTime) return done;
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

}  // namespace ombrel::selfupdate
