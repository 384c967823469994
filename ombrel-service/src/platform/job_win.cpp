#include <mutex>

#include "platform/handle_win.hpp"
#include "platform/job_win.hpp"
#include "platform/oserror.hpp"

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
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // A null handle asks about the job of this process.
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits,
                                 nullptr)) {
    return 0;
  }
  const DWORD flags = limits.BasicLimitInformation.LimitFlags;
  if ((flags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0) return 0;
  if ((flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0) return CREATE_BREAKAWAY_FROM_JOB;
  return 0;
}

}  // namespace ombrel::platform
