#pragma once
// Job objects: how the cores end with the service, and how programs that
// must outlive it stay out of jobs the service belongs to. Only `*_win.cpp`
// files include this header.
#include <windows.h>

#include "base/error.hpp"

namespace ombrel::platform {

// The job of the processes that end with the service: made on first use,
// with "kill on job close", and never closed by the service. The system
// closes it when the service process ends, however it ends, and so ends
// every process in it. Not inheritable. A failure is retried on the next use.
Result<HANDLE> service_job();

// Creation flags for a program that must outlive the service:
// CREATE_BREAKAWAY_FROM_JOB when the service runs inside a job, else 0. A
// job that forbids leaving it refuses the creation with access denied; the
// caller then creates the program without the flag, inside that job.
DWORD outliving_flags() noexcept;

}  // namespace ombrel::platform
