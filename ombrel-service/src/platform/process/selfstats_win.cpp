#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#include <tlhelp32.h>

#include <memory>

#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/process/selfstats.hpp"

namespace ombrel::platform {
namespace {

// The system's handle table (SystemExtendedHandleInformation), one entry per
// open handle of any process.
struct HandleEntry {
  void* object;
  ULONG_PTR process_id;
  ULONG_PTR handle_value;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG handle_attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr ULONG EXTENDED_HANDLE_INFORMATION = 64;
constexpr LONG INFO_LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);

// Wine answers GetProcessHandleCount with 0; its handle table is complete.
Result<std::size_t> handles_in_system_table(ULONG_PTR pid) {
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto query = ntdll == nullptr ? nullptr
                                      : reinterpret_cast<Query>(reinterpret_cast<void*>(
                                            GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (query == nullptr) return fail(last_os_error());
  ULONG size = 1 << 16;
  for (int attempt = 0; attempt < 16; ++attempt) {
    auto buffer = std::make_unique<char[]>(size);
    ULONG needed = 0;
    const LONG status = query(EXTENDED_HANDLE_INFORMATION, buffer.get(), size, &needed);
    if (status == INFO_LENGTH_MISMATCH) {
      size = std::max(size * 2, needed + (1u << 12));
      continue;
    }
    if (status < 0) return fail(os_error(static_cast<unsigned long>(status)));
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.get());
    std::size_t count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) count += table->entries[i].process_id == pid;
    return count;
  }
  return fail(os_error(ERROR_INSUFFICIENT_BUFFER));
}

Result<std::size_t> threads_of(DWORD pid) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return fail(last_os_error());
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  std::size_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == pid) ++count;
  }
  return count;
}

Result<std::size_t> handles_of(HANDLE process, DWORD pid) {
  DWORD count = 0;
  if (!GetProcessHandleCount(process, &count)) return fail(last_os_error());
  // A running process always holds handles of its own.
  if (count == 0) return handles_in_system_table(pid);
  return static_cast<std::size_t>(count);
}

}  // namespace

Result<std::size_t> own_thread_count() {
  return threads_of(GetCurrentProcessId());
}

Result<std::size_t> own_handle_count() {
  return handles_of(GetCurrentProcess(), GetCurrentProcessId());
}

Result<ProcessCounts> process_counts(std::uint32_t pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                                   static_cast<DWORD>(pid)));
  if (!process) return fail(last_os_error());
  ProcessCounts counts;
  const auto threads = threads_of(static_cast<DWORD>(pid));
  if (!threads) return fail(threads.error());
  counts.threads = *threads;
  const auto handles = handles_of(process.get(), static_cast<DWORD>(pid));
  if (!handles) return fail(handles.error());
  counts.handles = *handles;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (!GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                            sizeof memory)) {
    return fail(last_os_error());
  }
  counts.resident_bytes = memory.WorkingSetSize;
  counts.private_bytes = memory.PrivateUsage;
  return counts;
}

}  // namespace ombrel::platform
