#include <mutex>

#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/process/job_win.hpp"

namespace ombrel::platform {

Result<HANDLE> service_job() {
  static std::mutex mutex;
  static HANDLE job = nullptr;
  const std::lock_guard lock(mutex);
  if (job != nullptr) return job;
  UniqueHandle made(CreateJobObjectW(nullptr, nullptr));
  if (!made) return fail(last_os_error());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // No breakaway: whatever a core starts ends with it.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(made.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    return fail(last_os_error());
  }
  // Deliberately never closed: closing it would end the cores.
  job = made.release();
  return job;
}

DWORD outliving_flags() noexcept {
  BOOL in_job = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) || !in_job) return 0;
  // The job's limits are not asked for: whether it lets a child leave shows
  // in the creation itself (access denied), and not every system reports
  // them (Wine 8 answers with no limits at all). A job whose children leave
  // by themselves takes the flag as well.
  return CREATE_BREAKAWAY_FROM_JOB;
}

}  // namespace ombrel::platform
