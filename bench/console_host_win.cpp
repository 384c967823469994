// The system's part of the growth a console costs, without the service:
// plain Windows calls as the service makes them for its cores. A process
// without a console (as a service is) starts a console program with its
// output on a pipe, inside a job, reads that output on a thread of its own
// and ends the program shortly after its start, many times over; then it
// counts the readers that never saw the end of their pipe, the console host
// processes still alive and its own threads and handles. Done once with a
// console made for each program (what CreateProcess does by default) and
// once with DETACHED_PROCESS. Under Wine the first leaves a console host now
// and then, holding the pipe's write end, and with it a reader thread;
// Windows ends a console host with its last program.
//
//   ombrel_console_host CHILD_EXE [STARTS]
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "bench_report.hpp"
#include "platform/process/selfstats.hpp"

namespace {

std::atomic<int> readers_running{0};

DWORD WINAPI read_to_end(void* pipe) {
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buf, sizeof buf, &got, nullptr)) {
  }
  CloseHandle(pipe);
  --readers_running;
  return 0;
}

int console_hosts() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    count += _wcsicmp(entry.szExeFile, L"conhost.exe") == 0;
  }
  CloseHandle(snapshot);
  return count;
}

struct Left {
  int readers;
  int hosts;
  std::size_t threads;
  std::size_t handles;
};

Left run(const std::wstring& child, int starts, DWORD flags) {
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  const HANDLE null =
      CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  SetHandleInformation(null, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  const int hosts_before = console_hosts();
  for (int i = 0; i < starts; ++i) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    CreatePipe(&read_end, &write_end, nullptr, 65536);
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = null;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + child + L"\"";
    if (!CreateProcessW(child.c_str(), line.data(), nullptr, nullptr, TRUE,
                        flags | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
      std::fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
      std::exit(1);
    }
    AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(write_end);
    ++readers_running;
    CloseHandle(CreateThread(nullptr, 0, read_to_end, read_end, 0, nullptr));
    // Ended early in its start, as a core is by a quick disconnect.
    Sleep(static_cast<DWORD>(i % 4) * 20);
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  Sleep(3000);
  Left left{readers_running.load(), console_hosts() - hosts_before,
            ombrel::platform::own_thread_count().value_or(0),
            ombrel::platform::own_handle_count().value_or(0)};
  // The job's end takes the hosts left with it, and their pipes end the readers.
  CloseHandle(job);
  CloseHandle(null);
  for (int i = 0; i < 300 && readers_running > 0; ++i) Sleep(10);
  return left;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ombrel_console_host CHILD_EXE [STARTS]\n");
    return 1;
  }
  const std::string narrow = argv[1];
  const std::wstring child(narrow.begin(), narrow.end());
  const int starts = argc > 2 ? std::atoi(argv[2]) : 100;
  // As a service is.
  FreeConsole();
  const Left with_console = run(child, starts, 0);
  const Left detached = run(child, starts, DETACHED_PROCESS);
  for (const auto& [name, left] :
       {std::pair{"a console for each", with_console}, std::pair{"DETACHED_PROCESS", detached}}) {
    std::printf(
        "%s: %d starts, %d readers never ended, %d console hosts left, "
        "%zu threads, %zu handles\n",
        name, starts, left.readers, left.hosts, left.threads, left.handles);
  }
  ombrel::bench::row_text("console programs started " + std::to_string(starts) +
                              " times without a console of ours, reader threads left",
                          std::to_string(with_console.readers) + " (a console for each, " +
                              std::to_string(with_console.hosts) + " hosts)",
                          std::to_string(detached.readers) + " (DETACHED_PROCESS)", "-",
                          "info: the system's own", "-");
  return 0;
}
