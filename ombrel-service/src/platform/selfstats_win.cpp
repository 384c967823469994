#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/selfstats.hpp"

namespace ombrel::platform {

Result<std::size_t> own_thread_count() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return fail(last_os_error());
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::size_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  return count;
}

Result<std::size_t> own_handle_count() {
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return fail(last_os_error());
  return static_cast<std::size_t>(count);
}

}  // namespace ombrel::platform
